// One input through the validation of every kind with schemas and rules: the findings of the whole
// path (version detection, catalogs, the pass), and the pass itself run over the input with
// each document kind's schemas whatever its root, in both modes. Shared by the libFuzzer
// target and the test that replays fuzz/regressions/schema_validate/.
//
// Properties besides crashes and leaks: the pass that stops at the first error stops at the
// first error of the full list (same code, place and attribute); every finding's text form
// is one line of eight fields.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "base/file.h"
#include "base/lasterror.h"
#include "base/memory.h"
#include "cfdi/catalogs.h"
#include "cfdi/document.h"
#include "cfdi/schema_pass.h"
#include "cfdi/validate.h"
#include "input_file.h"

namespace kvn_fuzz {

inline const kvn::Finding* FirstError(const kvn::FindingList& findings) {
    for (const kvn::Finding& f : findings)
        if (f.severity == kvn::FindingSeverity::kError) return &f;
    return nullptr;
}

inline void CheckTextForm(const kvn::FindingList& findings) {
    kvn::String text;
    kvn::WriteFindings(findings, text);
    std::size_t lines = 0, tabs = 0;
    for (char c : text) {
        lines += c == '\n';
        tabs += c == '\t';
    }
    KVN_FUZZ_CHECK(lines == findings.size() && tabs == 7 * findings.size());
}

inline void PassBothWays(const char* path, const kvn::XsdSchemaSet& set, const kvn::Catalogs& catalogs) {
    kvn::FindingList all, first;
    kvn::SchemaPassOptions everything, stopAtFirst;
    stopAtFirst.firstErrorOnly = true;
    kvn::FilePtr a = kvn::OpenDocument(path), b = kvn::OpenDocument(path);
    if (!a || !b) return;
    const kvn::Error allError = kvn::RunSchemaPass(a.get(), set, catalogs, everything, nullptr, all);
    const kvn::Error firstError = kvn::RunSchemaPass(b.get(), set, catalogs, stopAtFirst, nullptr, first);
    CheckTextForm(all);
    const kvn::Finding* x = FirstError(all);
    const kvn::Finding* y = FirstError(first);
    if (allError == kvn::kOk && x) {
        // Stopping early can only hide a parse error that comes later.
        KVN_FUZZ_CHECK(firstError == kvn::kOk && y);
        KVN_FUZZ_CHECK(std::strcmp(x->code, y->code) == 0 && x->path == y->path && x->attribute == y->attribute &&
                       x->line == y->line);
    } else if (allError == kvn::kOk) {
        KVN_FUZZ_CHECK(firstError == kvn::kOk && !y);
    }
}

inline void FuzzSchemaValidation(const std::uint8_t* data, std::size_t size) {
    InputFile input(data, size, "schema");
    kvn::ClearLastError();
    try {
        kvn::FindingList findings;
        if (kvn::ValidateFindings(input.path(), nullptr, 0, findings) == kvn::kOk) CheckTextForm(findings);
        std::shared_ptr<const kvn::Catalogs> catalogs;
        if (kvn::OpenCatalogs(nullptr, &catalogs) != kvn::kOk) return;
        for (int version : {33, 40}) PassBothWays(input.path(), *kvn::SchemaSetFor(version), *catalogs);
    } catch (const std::bad_alloc&) {
        // Documents that want 1 GiB or more at once are refused; that is not a fault.
    }
}

}  // namespace kvn_fuzz
