// Many threads calling every export at once on shared inputs, as an invoicing server does:
// each answer equals the one the same call gives on a single thread, each thread's
// KVN_LastError holds the messages of its own last call, and no temporary file is left.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

constexpr int kThreads = 8;
constexpr auto kRunFor = std::chrono::seconds(3);

// A text answer of an output-buffer export: the code, then the text.
std::string Text(const std::function<int(char*, int)>& call) {
    int n = call(nullptr, 0);
    if (n <= 0) return std::to_string(n);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    int got = call(text.data(), n);
    text.resize(got > 0 && got <= n ? static_cast<std::size_t>(got) : 0);
    return std::to_string(got) + ":" + text;
}

// The code of a call and, on failure, the messages it left for this thread. (The call is
// made in here: the operands of + may be evaluated in any order.)
std::string Status(const std::function<int()>& call) {
    int rc = call();
    return rc < 0 ? std::to_string(rc) + ":" + LastError() : std::to_string(rc);
}

// What a call may use: the shared inputs, and an output directory of the calling thread.
struct Context {
    std::string signedXml, invalidXml, out;
    int signer = 0;  // one signing session shared by every thread
};

struct Task {
    const char* name;
    std::function<std::string(const Context&)> run;
};

std::string Count(const std::string& text, char c) { return std::to_string(std::count(text.begin(), text.end(), c)); }

// Every export, each with its options, a failure or two among them.
std::vector<Task> Tasks() {
    const std::string key = Key(1024), key2048 = Key(2048), cert = Cert(1024), cert2048 = Cert(2048);
    const std::string invoice = Invoice("cfdi32.xml"), cfd22 = Invoice("cfd22.xml");
    const std::string stamped = Invoice("cfdi32_stamped.xml");
    return {
        {"Version", [](const Context&) { return std::to_string(KVN_Version()) + std::to_string(KVN_PKIVersion()); }},
        {"CompileTime", [](const Context&) { return Text(KVN_CompileTime) + Text(KVN_PKICompileTime); }},
        {"ModuleName",
         [](const Context&) {
             return Text([](char* o, int n) { return KVN_ModuleName(o, n, 0); }) +
                    Text([](char* o, int n) { return KVN_ModuleName(o, n, KVN_OPT_PLATFORM); }) + Text(KVN_PKIModuleName);
         }},
        {"ErrorLookup", [](const Context&) { return Text([](char* o, int n) { return KVN_ErrorLookup(o, n, -22); }); }},
        {"FixBOM",
         [=](const Context& c) {
             std::string out = c.out + "/bom.xml";
             std::string r = Status([&] { return KVN_FixBOM(out.c_str(), invoice.c_str()); });
             return r + ReadFile(out);
         }},
        {"ReceiptVersion",
         [=](const Context&) {
             return std::to_string(KVN_XmlReceiptVersion(invoice.c_str())) + std::to_string(KVN_XmlReceiptVersion(cfd22.c_str()));
         }},
        {"Attribute",
         [=](const Context&) {
             return Text([&](char* o, int n) { return KVN_GetXmlAttribute(o, n, invoice.c_str(), "total", ""); }) +
                    Text([&](char* o, int n) { return KVN_GetXmlAttribute(o, n, stamped.c_str(), "UUID", "tfd:TimbreFiscalDigital"); });
         }},
        {"PipeString",
         [=](const Context&) {
             return Text([&](char* o, int n) { return KVN_MakePipeStringFromXml(o, n, invoice.c_str(), 0); }) +
                    Text([&](char* o, int n) { return KVN_MakePipeStringFromXml(o, n, stamped.c_str(), KVN_OPT_STAMP); }) +
                    Text([&](char* o, int n) { return KVN_MakePipeStringFromXml(o, n, cfd22.c_str(), KVN_OPT_LATIN1); });
         }},
        {"Digest",
         [=](const Context&) {
             return Digest(invoice) + Digest(invoice, KVN_OPT_MD5) + Digest(stamped, KVN_OPT_STAMP);
         }},
        {"Signature",
         [=](const Context&) {
             return Text([&](char* o, int n) { return KVN_MakeSignatureFromXml(o, n, invoice.c_str(), key.c_str(), kPassword); }) +
                    Text([&](char* o, int n) {
                        return KVN_MakeSignatureFromXmlEx(o, n, cfd22.c_str(), key2048.c_str(), kPassword, KVN_OPT_MD5);
                    });
         }},
        {"SignatureWrongPassword",
         [=](const Context&) {
             std::string r = Text([&](char* o, int n) { return KVN_MakeSignatureFromXml(o, n, invoice.c_str(), key.c_str(), "wrong"); });
             return r + "|" + LastError();
         }},
        {"SignXml",
         [=](const Context& c) {
             std::string out = c.out + "/signed.xml";
             std::string r = Status([&] { return KVN_SignXml(out.c_str(), invoice.c_str(), key.c_str(), kPassword, cert.c_str(), 0); });
             return r + ReadFile(out);
         }},
        {"Verify",
         [=](const Context& c) {
             return Status([&] { return KVN_VerifySignature(c.signedXml.c_str(), nullptr, 0); }) +
                    Status([&] { return KVN_VerifySignature(c.signedXml.c_str(), cert2048.c_str(), 0); }) +
                    Text([&](char* o, int n) { return KVN_ExtractDigestFromSignature(o, n, c.signedXml.c_str(), cert.c_str(), 0); });
         }},
        {"Validate",
         [=](const Context& c) {
             return Status([&] { return KVN_ValidateXml(c.signedXml.c_str(), 0); }) + Status([&] { return KVN_ValidateXml(c.invalidXml.c_str(), 0); }) +
                    Status([&] { return KVN_ValidateXml(invoice.c_str(), KVN_OPT_NOFACETS); });
         }},
        {"ValidationFindings",
         [=](const Context&) {
             const std::string v40 = Invoice("cfdi40_stamped.xml"), v33 = Invoice("cfdi33_pagos.xml");
             return Text([&](char* o, int n) { return KVN_ValidateXmlFindings(o, n, v40.c_str(), nullptr, 0); }) +
                    Text([&](char* o, int n) { return KVN_ValidateXmlFindings(o, n, v33.c_str(), nullptr, KVN_OPT_NOFACETS); }) +
                    Status([&] { return KVN_ValidateXml(v40.c_str(), 0); });
         }},
        {"TableRows",
         [=](const Context& c) {
             // A document by name and the same one as text, on threads that interleave both.
             const std::string text = ReadFile(c.signedXml);
             return Text([&](char* o, int n) { return KVN_TableRows(o, n, c.signedXml.c_str(), 0); }) +
                    Text([&](char* o, int n) { return KVN_TableRows(o, n, text.c_str(), KVN_OPT_XMLTEXT | KVN_OPT_LINES); }) +
                    Status([&] { return KVN_VerifySignature(c.signedXml.c_str(), nullptr, 0); });
         }},
        {"Certificate",
         [=](const Context&) {
             std::string r = Text([&](char* o, int n) { return KVN_GetCertNumber(o, n, cert.c_str()); });
             r += Text([&](char* o, int n) { return KVN_GetCertExpiry(o, n, cert2048.c_str(), KVN_OPT_NOTBEFORE); });
             r += Text([&](char* o, int n) { return KVN_GetCertAsString(o, n, cert.c_str()); });
             r += Text([&](char* o, int n) { return KVN_QueryCert(o, n, cert.c_str(), "rfc", 0); });
             r += Text([&](char* o, int n) { return KVN_QueryCert(o, n, cert.c_str(), "RFC", 0); });
             return r + "|" + LastError();
         }},
        {"CheckKey",
         [=](const Context&) {
             return Status([&] { return KVN_CheckKeyAndCert(key.c_str(), kPassword, cert.c_str()); }) +
                    Status([&] { return KVN_CheckKeyAndCert(key.c_str(), kPassword, cert2048.c_str()); });
         }},
        {"KeyString",
         [=](const Context&) { return Text([&](char* o, int n) { return KVN_GetKeyAsString(o, n, key.c_str(), kPassword, 0); }); }},
        {"SharedSigner",
         [=](const Context& c) {
             std::string out = c.out + "/shared-session.xml";
             std::string r = Status([&] { return KVN_SignXmlWithSigner(c.signer, out.c_str(), invoice.c_str(), 0); });
             r += ReadFile(out);
             return r + Text([&](char* o, int n) { return KVN_MakeSignatureWithSigner(o, n, c.signer, cfd22.c_str(), KVN_OPT_MD5); });
         }},
        {"OwnSigner",
         [=](const Context& c) {
             // Handles differ from call to call: only codes and documents are compared.
             std::string out = c.out + "/own-session.xml";
             const int signer = KVN_OpenSigner(key2048.c_str(), kPassword, cert2048.c_str());
             std::string r = std::to_string(signer > 0) + std::to_string(KVN_SignXmlWithSigner(signer, out.c_str(), cfd22.c_str(), 0));
             r += ReadFile(out) + std::to_string(KVN_CloseSigner(signer)) + std::to_string(KVN_CloseSigner(signer));
             return r + Status([&] { return KVN_OpenSigner(key.c_str(), "wrong", nullptr); });
         }},
        {"Pfx",
         [=](const Context& c) {
             // Salts differ from file to file: the shape is what repeats.
             std::string out = c.out + "/out.pfx";
             std::string r = Status([&] { return KVN_WritePfxFile(out.c_str(), "pfx", key.c_str(), kPassword, cert.c_str(), 0); });
             std::string text = ReadFile(out);
             return r + " " + std::to_string(text.size()) + " lines " + Count(text, '\n');
         }},
    };
}

class ThreadStress : public testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("TMP");
        hadTmp_ = old != nullptr;
        if (old) oldTmp_ = old;
        setenv("TMP", (dir_ / "tmp").c_str(), 1);
        fs::create_directories(dir_ / "tmp");
        shared_.signedXml = dir_ / "signed.xml";
        ASSERT_EQ(KVN_SignXml(shared_.signedXml.c_str(), Invoice("cfdi32.xml").c_str(), Key(1024).c_str(), kPassword,
                              Cert(1024).c_str(), 0),
                  0)
            << LastError();
        shared_.signer = KVN_OpenSigner(Key(1024).c_str(), kPassword, Cert(1024).c_str());
        ASSERT_GT(shared_.signer, 0) << LastError();
        shared_.invalidXml = dir_ / "invalid.xml";
        WriteFile(shared_.invalidXml, ReplaceFirst(ReadFile(shared_.signedXml), "total=\"", "total=\"x"));
    }
    void TearDown() override {
        KVN_CloseSigner(shared_.signer);
        if (hadTmp_) setenv("TMP", oldTmp_.c_str(), 1);
        else unsetenv("TMP");
    }
    Context For(const std::string& name) const {
        Context c = shared_;
        c.out = dir_ / name;
        fs::create_directories(c.out);
        return c;
    }

    TempDir dir_{"stress"};
    Context shared_;
    std::string oldTmp_;
    bool hadTmp_ = false;
};

TEST_F(ThreadStress, EveryExportOnManyThreadsAnswersAsOnOne) {
    const std::vector<Task> tasks = Tasks();
    std::vector<std::string> expected;
    const Context single = For("single");
    for (const Task& t : tasks) expected.push_back(t.run(single));
    // The mix has failures whose messages must come through.
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (std::string(tasks[i].name) == "SignatureWrongPassword") {
            EXPECT_NE(expected[i].find("Cannot read private key/No se puede leer la clave privada"), std::string::npos)
                << expected[i];
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::vector<std::string>> mismatches(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Context c = For("thread" + std::to_string(t));
            std::mt19937 order(static_cast<unsigned>(t));
            std::vector<std::size_t> indices(tasks.size());
            for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
            for (int round = 0; round == 0 || !stop.load(); ++round) {
                std::shuffle(indices.begin(), indices.end(), order);
                for (std::size_t i : indices) {
                    std::string got = tasks[i].run(c);
                    if (got != expected[i] && mismatches[t].size() < 5) {
                        mismatches[t].push_back(std::string(tasks[i].name) + ":\n  got      " + got.substr(0, 300) +
                                                "\n  expected " + expected[i].substr(0, 300));
                    }
                    // A failure naming this thread's own file: the text read back is exactly
                    // that call's message, whatever the other threads did meanwhile.
                    std::string missing = c.out + "/missing-" + std::to_string(round) + ".xml";
                    int rc = KVN_XmlReceiptVersion(missing.c_str());
                    std::string message = LastError();
                    if ((rc != -OPEN_ERROR || message != "Cannot open file '" + missing + "'/No se puede abrir el archivo") &&
                        mismatches[t].size() < 5) {
                        mismatches[t].push_back("own message: " + std::to_string(rc) + " " + message);
                    }
                    calls += 2;
                }
            }
        });
    }
    std::this_thread::sleep_for(kRunFor);
    stop = true;
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) {
        for (const std::string& m : mismatches[t]) ADD_FAILURE() << "thread " << t << ": " << m;
    }
    EXPECT_GE(calls.load(), 2L * kThreads * static_cast<long>(tasks.size()));
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "temporary files left";
}

}  // namespace
