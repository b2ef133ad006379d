// One input through the readers that give a document as data: its JSON and its table rows
// (per document and per concept), the document given as its text and as a file. Shared by
// the libFuzzer target and the test that replays fuzz/regressions/data_json/.
//
// Properties: the text and the file give the same answers; the JSON is one well-formed
// JSON object; the rows text has a header and rows with as many fields as the header.
#pragma once

#include <cstdint>
#include <string>

#include "base/lasterror.h"
#include "base/memory.h"
#include "cfdi/document.h"
#include "cfdi/json_writer.h"
#include "cfdi/table_row.h"
#include "input_file.h"

namespace kvn_fuzz {

// A small JSON syntax check (RFC 8259): one value, then only the final LF.
class JsonCheck {
public:
    explicit JsonCheck(const kvn::String& s) : s_(s) {}
    bool Document() {
        if (!Value(0)) return false;
        return at_ + 1 == s_.size() && s_[at_] == '\n';
    }

private:
    bool Value(int depth) {
        if (depth > 600 || at_ >= s_.size()) return false;
        if (s_[at_] == '"') return String();
        if (s_[at_] == '{') return Container(depth, '}', true);
        if (s_[at_] == '[') return Container(depth, ']', false);
        return false;  // the writer writes strings, objects and arrays only
    }
    bool Container(int depth, char close, bool object) {
        ++at_;
        if (at_ < s_.size() && s_[at_] == close) return ++at_, true;
        for (;;) {
            if (object && (!String() || at_ >= s_.size() || s_[at_++] != ':')) return false;
            if (!Value(depth + 1) || at_ >= s_.size()) return false;
            const char c = s_[at_++];
            if (c == close) return true;
            if (c != ',') return false;
        }
    }
    bool String() {
        if (at_ >= s_.size() || s_[at_] != '"') return false;
        for (++at_; at_ < s_.size(); ++at_) {
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c < 0x20) return false;
            if (c == '"') return ++at_, true;
            if (c == '\\') {
                if (++at_ >= s_.size() || std::string("\"\\/bfnrtu").find(s_[at_]) == std::string::npos) return false;
                if (s_[at_] == 'u') {
                    if (at_ + 4 >= s_.size()) return false;
                    at_ += 4;
                }
            }
        }
        return false;
    }
    const kvn::String& s_;
    std::size_t at_ = 0;
};

inline void CheckRows(const kvn::String& rows) {
    const std::size_t headerEnd = rows.find('\n');
    KVN_FUZZ_CHECK(headerEnd != kvn::String::npos);
    std::size_t tabs = 0;
    for (std::size_t i = 0; i < headerEnd; ++i) tabs += rows[i] == '\t';
    std::size_t rowTabs = 0;
    for (std::size_t i = headerEnd + 1; i < rows.size(); ++i) {
        if (rows[i] == '\t') ++rowTabs;
        if (rows[i] == '\n') {
            KVN_FUZZ_CHECK(rowTabs == tabs);
            rowTabs = 0;
        }
    }
    KVN_FUZZ_CHECK(rows.back() == '\n');
}

inline void FuzzDocumentData(const std::uint8_t* data, std::size_t size) {
    const std::string text = AsText(data, size);
    InputFile file(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), "data");
    kvn::String fromFile, fromText;
    kvn::Error fileError = kvn::WriteDocumentJson(fromFile, file.path());
    kvn::Error textError;
    {
        kvn::DocumentTextScope scope(true);
        textError = kvn::WriteDocumentJson(fromText, text.c_str());
    }
    KVN_FUZZ_CHECK(fileError == textError && fromFile == fromText);
    if (!kvn::Failed(fileError)) KVN_FUZZ_CHECK(JsonCheck(fromFile).Document());
    kvn::ClearLastError();
    for (kvn::TableKind kind : {kvn::TableKind::kDocuments, kvn::TableKind::kLines}) {
        kvn::String rowsFile, rowsText;
        kvn::WriteTableRows(rowsFile, file.path(), kind);
        {
            kvn::DocumentTextScope scope(true);
            kvn::WriteTableRows(rowsText, text.c_str(), kind);
        }
        CheckRows(rowsFile);
        // The error column names an unopenable file by its name: only readable inputs compare.
        if (rowsFile.find("Cannot open file") == kvn::String::npos) KVN_FUZZ_CHECK(rowsFile == rowsText);
    }
}

}  // namespace kvn_fuzz
