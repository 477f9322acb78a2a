#include "nvwebrte/stanza_file.h"

#include "nvwebrte/config_keys.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace zem {

namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

struct CachedFile {
    off_t size = -1;
    struct timespec modified = {};
    std::shared_ptr<const StanzaFile> file;
};

std::mutex g_cacheMutex;
std::map<std::string, CachedFile> g_cache;

bool sameStamp(const CachedFile& cached, const struct stat& info) {
    return cached.size == info.st_size && cached.modified.tv_sec == info.st_mtim.tv_sec &&
           cached.modified.tv_nsec == info.st_mtim.tv_nsec;
}

}  // namespace

const Stanza* StanzaFile::find(const std::string& name) const {
    for (const Stanza& stanza : stanzas) {
        if (stanza.name == name) return &stanza;
    }
    return nullptr;
}

std::vector<std::string> StanzaFile::values(const std::string& stanza, const std::string& key) const {
    std::vector<std::string> found;
    if (const Stanza* section = find(stanza)) {
        for (const auto& [name, value] : section->entries) {
            if (name == key) found.push_back(value);
        }
    }
    return found;
}

StanzaFile parseStanzaText(const std::string& text, const std::string& fileName) {
    StanzaFile file;
    Stanza* current = nullptr;
    std::istringstream lines(text);
    std::string raw;
    for (int number = 1; std::getline(lines, raw); ++number) {
        std::string line = trim(raw);
        auto problem = [&](const char* what) {
            file.problems.push_back(fileName + ":" + std::to_string(number) + ": " + what + ": " + line);
        };
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            std::string name = line.back() == ']' ? trim(line.substr(1, line.size() - 2)) : "";
            if (name.empty()) {
                problem("malformed stanza header");
                current = nullptr;
                continue;
            }
            auto existing = std::find_if(file.stanzas.begin(), file.stanzas.end(),
                                         [&](const Stanza& stanza) { return stanza.name == name; });
            current = existing != file.stanzas.end() ? &*existing : &file.stanzas.emplace_back(Stanza{name, {}});
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            problem("expected key = value");
        } else if (trim(line.substr(0, equals)).empty()) {
            problem("entry without a key");
        } else if (!current) {
            problem("entry outside any stanza");
        } else {
            current->entries.emplace_back(trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
        }
    }
    return file;
}

std::shared_ptr<const StanzaFile> loadStanzaFile(const std::string& path) {
    struct stat info;
    if (path.empty() || stat(path.c_str(), &info) != 0) return nullptr;
    std::lock_guard lock(g_cacheMutex);
    // One entry per file, however its path is written, so that a load is reported once.
    CachedFile& cached = g_cache[std::filesystem::absolute(path).lexically_normal().string()];
    if (cached.file && sameStamp(cached, info)) return cached.file;
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::stringstream text;
    text << in.rdbuf();
    auto file = std::make_shared<StanzaFile>(parseStanzaText(text.str(), path));
    for (const std::string& problem : file->problems) fprintf(stderr, "configuration: %s\n", problem.c_str());
    for (const std::string& problem : undeclaredEntries(*file))
        fprintf(stderr, "configuration: %s: warning: %s\n", path.c_str(), problem.c_str());
    cached = CachedFile{info.st_size, info.st_mtim, file};
    return file;
}

}  // namespace zem
