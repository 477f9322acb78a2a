// The stanza configuration file as the host reads it (internal to the host library).
//
//   [stanza]  or  [stanza:qualifier]     starts a stanza; a repeated header continues the same stanza
//   key = value                          blanks around key and value are trimmed; the value may be empty
//   # comment  ; comment                 whole-line comments; blank lines are ignored
// A key repeated in one stanza gives several values in file order. Any other line is malformed: it is
// reported once per load with the file name and line number, and skipped.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zem {

struct Stanza {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

struct StanzaFile {
    std::vector<Stanza> stanzas;
    std::vector<std::string> problems;  // "FILE:LINE: what is wrong"

    const Stanza* find(const std::string& name) const;
    // Values of `key` in `stanza`, in file order.
    std::vector<std::string> values(const std::string& stanza, const std::string& key) const;
};

// Parses `text`; `fileName` only names the problems.
StanzaFile parseStanzaText(const std::string& text, const std::string& fileName);

// The file as last read; re-read when its size or modification time changes. Null when it cannot be
// read. Problems, and entries that no reader takes as written (warnings), are printed to standard error
// when the file is (re)loaded.
std::shared_ptr<const StanzaFile> loadStanzaFile(const std::string& path);

}  // namespace zem
