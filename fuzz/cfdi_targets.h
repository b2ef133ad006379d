// One input through each reader of the invoice layer: the attribute query and version
// detection, the pipe string (every option), and the signed-document writer. Shared by the
// libFuzzer targets and the test that replays fuzz/regressions/cfdi_*/.
//
// Inputs are documents. The attribute query also takes its question from the input: when
// the document starts with a line "<!--q element attribute-->", those are asked besides a
// fixed set of questions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/lasterror.h"
#include "base/memory.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/pipe_string.h"
#include "cfdi/signature_attribute.h"
#include "cfdi/signed_writer.h"
#include "input_file.h"
#include "kelvane.h"
#include "xml/parser.h"

namespace kvn_fuzz {

// The attribute query with a cut buffer and a whole one: both give the full length, and
// the cut copy is the start of the whole one.
inline void AskAttribute(const char* path, const char* attribute, const char* element) {
    char whole[1024], cut[8];
    kvn::FilePtr f1 = kvn::OpenDocument(path), f2 = kvn::OpenDocument(path);
    if (!f1 || !f2) return;
    int full = 0, small = 0;
    const kvn::Error wholeError = kvn::QueryAttribute(whole, sizeof whole - 1, f1.get(), attribute, element, full);
    const kvn::Error cutError = kvn::QueryAttribute(cut, sizeof cut - 1, f2.get(), attribute, element, small);
    KVN_FUZZ_CHECK(wholeError == cutError && full == small);
    if (!kvn::Failed(wholeError) && full < static_cast<int>(sizeof whole)) {
        KVN_FUZZ_CHECK(std::strlen(whole) <= static_cast<std::size_t>(full));
        KVN_FUZZ_CHECK(std::strncmp(whole, cut, std::strlen(cut)) == 0);
    }
}

inline void FuzzAttributeQuery(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size, "query");
    kvn::ClearLastError();
    static const char* const kQuestions[][2] = {
        {"version", "Comprobante"},        {"importe", "cfdi:Concepto[2]"}, {"xmlns:cfdi", "cfdi:Comprobante"},
        {"selloSAT", "tfd:TimbreFiscalDigital"}, {"a", "zz:b[0]"},       {"noIdentificacion", "Concepto[3]"},
    };
    for (const auto& q : kQuestions) AskAttribute(file.path(), q[0], q[1]);
    const std::string text = AsText(data, size);
    if (text.rfind("<!--q ", 0) == 0) {
        const std::size_t end = text.find("-->");
        const std::string line = text.substr(6, end == std::string::npos ? 0 : end - 6);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) {
            AskAttribute(file.path(), line.substr(space + 1).c_str(), line.substr(0, space).c_str());
        }
    }
    int number = 0;
    (void)kvn::VersionNumber(file.path(), number);
    kvn::String value;
    (void)kvn::ReadSealField(file.path(), kvn::SealField::kCertificate, value);
    (void)kvn::ReadStampSignature(file.path(), value);
}

// The pipe string in every mode (document and stamp, UTF-8 and Latin-1): the length asked
// for without a buffer bounds what is written, and a cut copy is the start of the whole.
inline void FuzzPipeString(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size, "pipe");
    static const int kModes[] = {0, KVN_OPT_LATIN1, KVN_OPT_STAMP, KVN_OPT_STAMP | KVN_OPT_LATIN1};
    std::vector<char> whole;
    for (int options : kModes) {
        kvn::ClearLastError();
        int bound = 0, written = 0, cutWritten = 0;
        if (kvn::Failed(kvn::MakePipeString(nullptr, 0, file.path(), options, bound))) continue;
        whole.assign(static_cast<std::size_t>(bound) + 1, '\0');
        KVN_FUZZ_CHECK(!kvn::Failed(kvn::MakePipeString(whole.data(), bound, file.path(), options, written)));
        KVN_FUZZ_CHECK(written <= bound);
        KVN_FUZZ_CHECK(std::strlen(whole.data()) == static_cast<std::size_t>(written));
        char cut[6];
        KVN_FUZZ_CHECK(!kvn::Failed(kvn::MakePipeString(cut, sizeof cut - 1, file.path(), options, cutWritten)));
        KVN_FUZZ_CHECK(cutWritten <= static_cast<int>(sizeof cut - 1));
        KVN_FUZZ_CHECK(std::strncmp(whole.data(), cut, static_cast<std::size_t>(cutWritten)) == 0);
    }
}

// Counts the elements of a document held in memory; -1 when it is not well-formed.
inline long CountElements(const char* text, std::size_t length) {
    kvn::XmlParser* parser = kvn::XmlParserCreate(nullptr);
    long elements = 0;
    parser->userData = &elements;
    parser->handlers.startElement = [](void* user, const char*, const char*, const char*, kvn::XmlAttributes*) {
        ++*static_cast<long*>(user);
        return 0;
    };
    const bool ok = kvn::XmlParseMemory(parser, text, length, nullptr) == kvn::kOk;
    kvn::XmlParserFree(parser);
    return ok ? elements : -1;
}

// The signed-document writer with the seal's three attributes replaced: whenever it writes
// a document, that document is well-formed and has as many elements as the input.
inline void FuzzSignedWriter(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size, "signed-in");
    const std::string target = std::string(file.path()) + ".out";
    static const kvn::AttributeReplacement kSeal[] = {
        {nullptr, "Comprobante", "sello", "c2VsbG8=<&\"'>"},
        {nullptr, "Comprobante", "noCertificado", "30001000000100000800"},
        {nullptr, "Comprobante", "certificado", "TUlJ\r\n\t"},
    };
    for (int options : {0, KVN_OPT_NOBOM}) {
        kvn::ClearLastError();
        int rc;
        {
            kvn::ReplacingOutput out;
            if (!out.Open(target.c_str())) return;
            rc = kvn::ResultOf(kvn::WriteSignedDocument(file.path(), out, options, kSeal, 3));
            if (rc == 0 && !out.Commit()) rc = -WRITE_ERROR;
        }
        if (rc == 0) {
            std::string written;
            if (std::FILE* f = std::fopen(target.c_str(), "rb")) {
                char buf[4096];
                for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) written.append(buf, n);
                std::fclose(f);
            }
            const long in = CountElements(reinterpret_cast<const char*>(data), size);
            const long out = CountElements(written.data(), written.size());
            KVN_FUZZ_CHECK(out >= 0);
            if (in >= 0) KVN_FUZZ_CHECK(out == in);
        }
        std::remove(target.c_str());
    }
}

}  // namespace kvn_fuzz
