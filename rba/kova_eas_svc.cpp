// The entry-point unit's services: the message catalogue, the configuration entry loader, number
// conversion, the audit record and the release of response content.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nvaudutl/nvaudutl.h"
#include "nvwebrte/nvwebrte.h"
#include "qzz/qzz.h"
#include "rba/KOVANumber.h"
#include "rba/kova_eas.h"

static constexpr const char* KOVA_UNIT = "rba/kova_eas";

// ---- message catalogue --------------------------------------------------------------------------------
extern "C" {

qz_svc_subcomp_t rba_svc_table[] = {
    {"eas", "qzweb.kova", QLXBA0150, 16},
    {nullptr, nullptr, 0, 0},
};

qz_msg_entry_t rba_svc_g_table[18] = {
    {QLXBA0150, "qzweb.kova"},
    {QLXBA0300W, "QLXBA0300W   A general error occurred: %s."},
    {QLXBA0301I, "QLXBA0301I   The KOVA external authorization service (EAS) is being initialized."},
    {QLXBA0302I, "QLXBA0302I   The KOVA external authorization service (EAS) is being shutdown."},
    {QLXBA0303E, "QLXBA0303E   A required configuration entry, %s, under the %s stanza is missing from the "
                 "configuration file."},
    {QLXBA0304E, "QLXBA0304E   Unable to determine whether the ZEM policy needs to be applied: 0x%x."},
    {QLXBA0305E, "QLXBA0305E   Initialization of cluster manager failed: 0x%x."},
    {QLXBA0306E, "QLXBA0306E   Failed to add cluster to cluster manager: 0x%x."},
    {QLXBA0307W, "QLXBA0307W   The stanza %s in file %s is not found."},
    {QLXBA0308W, "QLXBA0308W   The header key name is missing for the app_context_data key: %s"},
    {QLXBA0309W, "QLXBA0309W   The authentication level is missing for the obligation: %s."},
    {QLXBA0310W, "QLXBA0310W   An error occurred when trying to retrieve the obligation ID from the KOVA response."},
    {QLXBA0311W, "QLXBA0311W   Unable to contact KOVA."},
    {QLXBA0312W, "QLXBA0312W   The %s attribute could not be extracted from a credential: API error: %s (API error "
                 "code [%x:%x])."},
    {QLXBA0313E, "QLXBA0313E   An error occurred when attempting to communicate with the SOAP server URL %s: %s "
                 "(error code: %d/0x%x)."},
    {QLXBA0314E, "QLXBA0314E   The URL is invalid."},
    {QLXBA0315E, "QLXBA0315E   Cannot allocate memory"},
    {QLXBA0316W, "QLXBA0316W   Config entry for context-id is set to context-inherited-pop but special-eas entry is "
                 "not set."},
};

qz_svc_handle_t rba_svc_handle = 0;
}

int32_t KOVAServiceability::s_instances = 0;

// The first instance registers the program, the catalogue and the sub-component; later ones only count.
KOVAServiceability::KOVAServiceability(const char* programName) {
    if (++s_instances != 1) return;
    unsigned int status = 0;
    uxmsg_init(programName);
    setlocale(LC_ALL, "");
    qz_svc_set_progname(programName, &status);
    if (status) fprintf(stderr, "Cannot initialize DCE serviceability messages(status 0x%8x)\n", status);
    qz_msg_define_msg_table(rba_svc_g_table, 18, &status);
    if (status) fprintf(stderr, "Cannot define the message table(status 0x%8x)\n", status);
    rba_svc_handle = qz_svc_register(rba_svc_table, "tqn", &status);
    if (status) fprintf(stderr, "Cannot register the component(status 0x%8x)\n", status);
}

KOVAServiceability::~KOVAServiceability() { --s_instances; }

// The host's printer ends each message with its own line end on the message stream.
int KOVAServiceability::printMessage(uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    qz_vprintf_utf8(id, args);
    va_end(args);
    return 0;
}

int KOVAServiceability::formatMessage(std::string& out, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    char* text = qz_vsprintf_utf8(id, args);
    va_end(args);
    if (text) {
        out.append(text);
        qz_free(text);
    }
    return 0;
}

// ---- C boundaries -------------------------------------------------------------------------------------
void kova_report_escaped_exception(const char* entry) noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            KOVA_TRACE(1, "%s: out of memory", entry);
            KOVAServiceability::printMessage(QLXBA0315E);
        } catch (const std::exception& e) {
            KOVA_TRACE(1, "%s: %s", entry, e.what());
            KOVAServiceability::printMessage(QLXBA0300W, e.what());
        } catch (...) {
            KOVA_TRACE(1, "%s: an exception of unknown type", entry);
            KOVAServiceability::printMessage(QLXBA0300W, "an exception of unknown type");
        }
    } catch (...) {
        // Reporting itself failed (no memory left for the text); the failure status still goes back.
    }
}

// ---- configuration entries ----------------------------------------------------------------------------
namespace {

std::atomic<uint32_t> g_refusedEntry{0};

// Copies the values into a malloc'd, null-terminated array of strdup'd texts; null when memory ran out.
char** copyValues(const ZArrayList_7_0_0& list) {
    auto** array = static_cast<char**>(calloc(list.size() + 1, sizeof(char*)));
    for (std::size_t i = 0; array && i < list.size(); ++i) {
        array[i] = strdup(list.get(i).getChars());
        if (!array[i]) {
            qzw_release_entry_data(array);
            array = nullptr;
        }
    }
    return array;
}

int loadEntry(const char* config_file, const char* stanza, const char* qualifier, const char* key, char*** values,
              int optional) {
    KOVA_ENTER("kova_load_entry_with_obfuscation_support");
    std::string stanzaName = stanza ? stanza : "";
    if (qualifier && *qualifier) stanzaName.append(":").append(qualifier);

    ZStanzaFileProperties_7_0_0 reader(config_file, 1);
    ZArrayList_7_0_0 list;
    if (reader.getValues(stanzaName.c_str(), key, list, 0) < 0) {
        // Never passed on as written: the entry counts as unreadable and start-up fails on it.
        KOVA_TRACE(1, "%s", reader.problem().c_str());
        KOVAServiceability::printMessage(QLXBA0300W, reader.problem().c_str());
        g_refusedEntry = ZQZ_S_BAD_OBFUSCATED_VALUE;
        return 0;
    }
    if (list.size() == 0) {
        if (!optional) {
            KOVAServiceability::printMessage(QLXBA0303E, key, stanzaName.c_str());
            KOVA_TRACE(1,
                       "A required configuration entry, %s, under the %s stanza is missing from the configuration file",
                       key, stanzaName.c_str());
        }
        return 0;
    }
    *values = copyValues(list);
    if (!*values) {
        KOVAServiceability::printMessage(QLXBA0315E);
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" int kova_load_entry_with_obfuscation_support(const char* config_file, const char* stanza,
                                                        const char* qualifier, const char* key, char*** values,
                                                        int optional) {
    return kova_c_boundary("kova_load_entry_with_obfuscation_support", 0,
                           [&] { return loadEntry(config_file, stanza, qualifier, key, values, optional); });
}

uint32_t kova_take_refused_entry() { return g_refusedEntry.exchange(0); }

uint32_t kova_strtoul(const char* text) {
    KOVANumber number = kova_read_number(text);
    if (number.error != 0) {
        KOVA_TRACE(9, "Problem converting string to unsigned long using strtoul. String was %s, errno is %d", text,
                   number.error);
        throw ParseException("Problem converting string to unsigned long using strtoul. String was %s, errno is %d");
    }
    if (number.trailing)
        KOVA_TRACE(9, "Problem converting entire string to unsigned long using strtoul. String was %s", text);
    return number.value;
}

// ---- response content -----------------------------------------------------------------------------------
void kova_eas_cleanup(orbsec_axiscpp::AnyType** holder) {
    KOVA_ENTER("kova_eas_cleanup");
    if (holder && *holder) {
        orbsec_axiscpp::AnyType* any = *holder;
        for (int i = 0; any->_array && i < any->_size; ++i) delete[] any->_array[i];
        delete[] any->_array;
        delete any;
        *holder = nullptr;
    }
    KOVA_EXIT("kova_eas_cleanup");
}

// ---- audit ----------------------------------------------------------------------------------------------
void kova_audit_add(KOVAAuditFields* fields, const char* name, const std::string& value) {
    if (fields) fields->emplace(name, value);
}

std::string kova_audit_record(const KOVAAuditFields& fields) {
    std::size_t size = 32;
    for (const auto& [name, value] : fields) size += 2 * name.size() + value.size() + 10;
    std::string record;
    record.reserve(size);
    record.append("<kova-event>\n");
    for (const auto& [name, value] : fields) {
        record.append("    <").append(name).append(">").append(value).append("</").append(name).append(">\n");
    }
    record.append("</kova-event>\n");
    return record;
}

void kova_audit_write(const KOVAAuditFields& fields) {
    std::string record = kova_audit_record(fields);
    nv_log_event_t event = NVLogEventStart(kova_audit_sink);
    char* buffer = static_cast<char*>(malloc(record.size() + 1));
    if (buffer) {
        memcpy(buffer, record.c_str(), record.size() + 1);
        NVLogEventAddText(event, record.size(), buffer);
    }
    int result = 0;
    NVLogEventCommit(&event, 0, &result);
    free(buffer);
}
