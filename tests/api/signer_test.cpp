// Signing sessions through the public header: a session signs exactly as KVN_SignXml and
// KVN_MakeSignatureFromXmlEx do, refuses what they refuse with the same codes and
// messages, answers BAD_PARAM_ERROR for handles that name no open session, and serves
// many threads at once (also while it is being closed).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

// The answer of a call: its code, then the messages it recorded.
struct Answer {
    int code;
    std::string messages;
    bool operator==(const Answer&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Answer& a) { return os << a.code << " " << a.messages; }

Answer Call(int code) { return {code < 0 ? code : 0, code < 0 ? LastError() : ""}; }

// The seal text of a signature export, the whole length asked for first.
std::string SealText(const std::function<int(char*, int)>& call) {
    const int n = call(nullptr, 0);
    if (n < 1) return "<" + std::to_string(n) + ">";
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    const int got = call(text.data(), n);
    text.resize(got == n ? static_cast<std::size_t>(n) : 0);
    return text;
}

class Signer : public testing::Test {
protected:
    TempDir dir_{"signer"};
};

// Every document a session signs is byte for byte what KVN_SignXml writes, and every seal
// what KVN_MakeSignatureFromXmlEx gives: each version, with and without a certificate,
// with each option.
TEST_F(Signer, SignsAsTheSingleCallsDo) {
    const std::string example40 = Example("cfdi40-invoice.xml");
    const struct {
        std::string document;
        int bits;
        bool withCert;
        int options;
    } kCases[] = {
        {Invoice("cfdi32.xml"), 1024, true, 0},
        {Invoice("cfdi32.xml"), 1024, false, KVN_OPT_NOBOM},
        {Invoice("cfd22.xml"), 2048, true, KVN_OPT_MD5},
        {Invoice("cfdi30.xml"), 2048, true, KVN_OPT_LATIN1},
        {Invoice("cfdi32_stamped.xml"), 1024, false, KVN_OPT_STAMP},
        {example40, 1024, true, 0},
        {example40, 2048, false, 0},
        {Invoice("cfdi33_pagos.xml"), 2048, true, KVN_OPT_NOBOM},
    };
    for (const auto& tc : kCases) {
        SCOPED_TRACE(tc.document + " " + std::to_string(tc.bits) + (tc.withCert ? " with" : " without") +
                     " certificate, options " + std::to_string(tc.options));
        const std::string key = Key(tc.bits), cert = Cert(tc.bits);
        const char* certArg = tc.withCert ? cert.c_str() : nullptr;
        const std::string single = dir_ / "single.xml", session = dir_ / "session.xml";
        ASSERT_EQ(KVN_SignXml(single.c_str(), tc.document.c_str(), key.c_str(), kPassword, certArg, tc.options), 0)
            << LastError();
        const int signer = KVN_OpenSigner(key.c_str(), kPassword, certArg);
        ASSERT_GT(signer, 0) << LastError();
        ASSERT_EQ(KVN_SignXmlWithSigner(signer, session.c_str(), tc.document.c_str(), tc.options), 0) << LastError();
        EXPECT_EQ(ReadFile(session), ReadFile(single));
        const int sealOptions = tc.options & ~KVN_OPT_NOBOM;
        const std::string expected = SealText([&](char* o, int n) {
            return KVN_MakeSignatureFromXmlEx(o, n, tc.document.c_str(), key.c_str(), kPassword, sealOptions);
        });
        EXPECT_EQ(SealText([&](char* o, int n) {
                      return KVN_MakeSignatureWithSigner(o, n, signer, tc.document.c_str(), sealOptions);
                  }),
                  expected);
        // A short buffer gets a cut copy and the whole length.
        char cut[11] = {};
        EXPECT_EQ(KVN_MakeSignatureWithSigner(cut, 10, signer, tc.document.c_str(), sealOptions),
                  static_cast<int>(expected.size()));
        EXPECT_EQ(std::string(cut), expected.substr(0, 10));
        EXPECT_EQ(KVN_CloseSigner(signer), 0);
    }
}

// A session is not opened for what KVN_SignXml refuses about the key and the certificate,
// and its answer is KVN_SignXml's, code and messages.
TEST_F(Signer, OpenRefusesWhatSignXmlRefuses) {
    const std::string doc = Invoice("cfdi32.xml"), out = dir_ / "out.xml";
    const std::string key1024 = Key(1024), cert1024 = Cert(1024), cert2048 = Cert(2048);
    const std::string corrupt = Credential("test-rsa1024-p12-3des-corrupt.der");
    const std::string damaged = Credential("test-rsa1024-damaged-dp-p12-3des.der");
    const std::string plainSerial = Credential("test-plain-1024.cer"), missing = dir_ / "missing.key";
    const struct {
        const char* what;
        const char* key;
        const char* password;
        const char* cert;
        int expected;
    } kCases[] = {
        {"wrong password", key1024.c_str(), "wrong", cert1024.c_str(), -DECRYPT_ERROR},
        {"corrupt key file", corrupt.c_str(), kPassword, nullptr, -DECRYPT_ERROR},
        {"missing key file", missing.c_str(), kPassword, nullptr, -OPEN_ERROR},
        {"damaged key, with certificate", damaged.c_str(), kPassword, cert1024.c_str(), -INVALID_DATA_ERROR},
        {"damaged key, without certificate", damaged.c_str(), kPassword, nullptr, -INVALID_DATA_ERROR},
        {"key of another pair", key1024.c_str(), kPassword, cert2048.c_str(), -NO_MATCH_ERROR},
        {"garbage certificate", key1024.c_str(), kPassword, "garbage", -BAD_CERT_ERROR},
        {"empty certificate", key1024.c_str(), kPassword, "", -BAD_CERT_ERROR},
        {"serial that is not text", key1024.c_str(), kPassword, plainSerial.c_str(), -BAD_FORMAT_ERROR},
        {"null password", key1024.c_str(), nullptr, nullptr, -BAD_PARAM_ERROR},
        {"null key", nullptr, kPassword, nullptr, -BAD_PARAM_ERROR},
    };
    for (const auto& tc : kCases) {
        SCOPED_TRACE(tc.what);
        const Answer single = Call(KVN_SignXml(out.c_str(), doc.c_str(), tc.key, tc.password, tc.cert, 0));
        EXPECT_EQ(single.code, tc.expected);
        EXPECT_EQ(Call(KVN_OpenSigner(tc.key, tc.password, tc.cert)), single);
    }
    EXPECT_EQ(dir_.EntryCount(), 0u);
}

// What goes wrong with a document is what KVN_SignXml and KVN_MakeSignatureFromXmlEx say
// about it, and leaves no output.
TEST_F(Signer, DocumentFaultsAreTheSingleCallsFaults) {
    const std::string key = Key(1024), cert = Cert(1024), out = dir_ / "out.xml";
    const std::string malformed = dir_ / "malformed.xml", missing = dir_ / "missing.xml";
    WriteFile(malformed, "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\" sello=\"\">\n<a>");
    const std::string nowhere = dir_ / "missing-dir/out.xml", example40 = Example("cfdi40-invoice.xml");
    const int signer = KVN_OpenSigner(key.c_str(), kPassword, cert.c_str());
    ASSERT_GT(signer, 0) << LastError();
    const struct {
        const char* what;
        std::string output, document;
        int options;
    } kCases[] = {
        {"missing document", out, missing, 0},
        {"malformed document", out, malformed, 0},
        {"MD5 on a 4.0 document", out, example40, KVN_OPT_MD5},
        {"output that cannot be written", nowhere, Invoice("cfdi32.xml"), 0},
    };
    for (const auto& tc : kCases) {
        SCOPED_TRACE(tc.what);
        const Answer single =
            Call(KVN_SignXml(tc.output.c_str(), tc.document.c_str(), key.c_str(), kPassword, cert.c_str(), tc.options));
        ASSERT_LT(single.code, 0);
        EXPECT_EQ(Call(KVN_SignXmlWithSigner(signer, tc.output.c_str(), tc.document.c_str(), tc.options)), single);
        const Answer seal = Call(KVN_MakeSignatureFromXmlEx(nullptr, 0, tc.document.c_str(), key.c_str(), kPassword,
                                                            tc.options));
        if (seal.code < 0) {
            EXPECT_EQ(Call(KVN_MakeSignatureWithSigner(nullptr, 0, signer, tc.document.c_str(), tc.options)), seal);
        }
        EXPECT_EQ(dir_.EntryCount(), 1u);  // malformed.xml only
    }
    EXPECT_EQ(KVN_SignXmlWithSigner(signer, nullptr, Invoice("cfdi32.xml").c_str(), 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_SignXmlWithSigner(signer, out.c_str(), nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_MakeSignatureWithSigner(nullptr, 0, signer, nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_CloseSigner(signer), 0);
}

// Handles that name no open session (never opened, closed, or left over from a session
// whose slot now holds another) are refused, and closing twice changes nothing.
TEST_F(Signer, HandlesThatNameNoSessionAreRefused) {
    const std::string key = Key(1024), doc = Invoice("cfdi32.xml"), out = dir_ / "out.xml";
    for (int handle : {0, -1, 7, 123456789}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(KVN_SignXmlWithSigner(handle, out.c_str(), doc.c_str(), 0), -BAD_PARAM_ERROR);
        EXPECT_EQ(LastError(), "Invalid or closed signing session (" + std::to_string(handle) +
                                   ")/Sesion de firma no valida o cerrada");
        EXPECT_EQ(KVN_MakeSignatureWithSigner(nullptr, 0, handle, doc.c_str(), 0), -BAD_PARAM_ERROR);
        EXPECT_EQ(KVN_CloseSigner(handle), -BAD_PARAM_ERROR);
    }
    const int first = KVN_OpenSigner(key.c_str(), kPassword, nullptr);
    const int other = KVN_OpenSigner(key.c_str(), kPassword, nullptr);
    ASSERT_GT(first, 0);
    ASSERT_GT(other, 0);
    EXPECT_NE(first, other);
    EXPECT_EQ(KVN_CloseSigner(first), 0);
    EXPECT_EQ(KVN_CloseSigner(first), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_SignXmlWithSigner(first, out.c_str(), doc.c_str(), 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_SignXmlWithSigner(other, out.c_str(), doc.c_str(), 0), 0) << LastError();
    // Fill the table: one of the new sessions takes the first session's slot, whose old
    // handle still names nothing; one more is refused until a session closes.
    std::vector<int> open;
    for (;;) {
        const int h = KVN_OpenSigner(key.c_str(), kPassword, nullptr);
        if (h < 0) {
            EXPECT_EQ(h, -MISC_ERROR);
            EXPECT_EQ(LastError(), "Too many signing sessions open (1024)/Demasiadas sesiones de firma abiertas");
            break;
        }
        open.push_back(h);
        ASSERT_LT(open.size(), 1024u);
    }
    EXPECT_EQ(open.size(), 1023u);  // besides `other`
    ASSERT_EQ(KVN_CloseSigner(open.back()), 0);
    open.pop_back();
    const int again = KVN_OpenSigner(key.c_str(), kPassword, nullptr);
    ASSERT_GT(again, 0) << LastError();
    open.push_back(again);
    EXPECT_EQ(KVN_SignXmlWithSigner(first, out.c_str(), doc.c_str(), 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_SignXmlWithSigner(again, out.c_str(), doc.c_str(), 0), 0) << LastError();
    for (int h : open) EXPECT_EQ(KVN_CloseSigner(h), 0);
    EXPECT_EQ(KVN_CloseSigner(other), 0);
}

// One session, many threads: each document is what a single thread writes; a session
// closed while threads sign with it lets the calls already inside finish, and refuses the
// rest.
TEST_F(Signer, ManyThreadsSignWithOneSession) {
    constexpr int kThreads = 4, kRounds = 6;
    const std::string key = Key(1024), cert = Cert(1024);
    const std::vector<std::string> documents = {Invoice("cfdi32.xml"), Invoice("cfd22.xml"), Example("cfdi40-invoice.xml")};
    std::vector<std::string> expected;
    for (const std::string& doc : documents) {
        const std::string out = dir_ / "expected.xml";
        ASSERT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
        expected.push_back(ReadFile(out));
    }
    const int signer = KVN_OpenSigner(key.c_str(), kPassword, cert.c_str());
    ASSERT_GT(signer, 0) << LastError();
    std::atomic<int> wrong{0}, refused{0}, signedCount{0};
    std::atomic<bool> closing{false};
    auto work = [&](int t, bool untilRefused) {
        for (int round = 0; untilRefused || round < kRounds; ++round) {
            const std::size_t which = static_cast<std::size_t>(t + round) % documents.size();
            const std::string out = dir_ / ("t" + std::to_string(t) + "-" + std::to_string(round) + ".xml");
            const int rc = KVN_SignXmlWithSigner(signer, out.c_str(), documents[which].c_str(), 0);
            if (rc == -BAD_PARAM_ERROR && closing) {
                ++refused;
                return;
            }
            if (rc != 0 || ReadFile(out) != expected[which]) ++wrong;
            ++signedCount;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t, false);
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(signedCount, kThreads * kRounds);

    // Now close it while they sign.
    threads.clear();
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t, true);
    while (signedCount < kThreads * kRounds + kThreads) std::this_thread::yield();
    closing = true;
    EXPECT_EQ(KVN_CloseSigner(signer), 0);
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(refused, kThreads);
}

}  // namespace
