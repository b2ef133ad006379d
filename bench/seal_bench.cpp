// KVN_SignXml and KVN_VerifySignature on a 50-concept CFDI 3.2 invoice with a 2048-bit key,
// side by side with the pipeline a C programmer would write with the best libraries:
// libxml2 for the pipe string (a SAX2 parse) and for writing the signed document (a tree
// read, three attributes set, the tree saved), OpenSSL for the encrypted key file, the
// signature and the certificate. The peer decrypts the key once and signs once; it checks
// the key against the certificate by comparing public parts.
//
// The same work is also timed step by step on both sides (<step>/ours, <step>/peer), so
// that the end-to-end ratio can be read against where the time goes. After the runs a
// table gives ours / peer for every pair, and the targets of the two end-to-end cases.
//
// KVN_SignXml also runs on a 50-concept CFDI 4.0 invoice (taxes per concept, local taxes
// complement; SHA-256, NoCertificado inside the sealed text): its time is held against the
// 3.2 figure of the same run, which it should stay within 10% of.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/file.h"
#include "cfdi/attribute_query.h"
#include "cfdi/namespaces.h"
#include "cfdi/seal.h"
#include "cfdi/signed_writer.h"
#include "cfdi/verify.h"
#include "generated_invoice.h"
#include "peer_pipe.h"
#include "kelvane.h"
#include "pki/certinfo.h"
#include "pki/credentials.h"
#include "pki/keyfile.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace {

const char kPassword[] = "test-password";
const std::string kKey = std::string(KVN_FIXTURES_DIR) + "/credentials/test-rsa2048-pbes2-3des-sha1.der";
const std::string kCert = std::string(KVN_FIXTURES_DIR) + "/credentials/test-csd-2048.cer";

std::string TempPath(const std::string& name) { return "/tmp/kvn_seal_bench_" + std::to_string(::getpid()) + "_" + name; }

const std::string& Invoice() {
    static const std::string path =
        kvn_bench::WriteGeneratedInvoice(TempPath("invoice.xml"), kvn_bench::kPlainHeader, 50);
    return path;
}

// A CFDI 4.0 invoice of `concepts` concepts, each with its VAT, and a local taxes complement.
std::string WriteCfdi40Invoice(const std::string& path, int concepts) {
    std::ofstream out(path, std::ios::binary);
    out << R"(<?xml version="1.0" encoding="UTF-8"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" xmlns:implocal="http://www.sat.gob.mx/implocal" Version="4.0" Serie="A" Folio="1" Fecha="2024-02-01T09:00:00" Sello="" FormaPago="01" NoCertificado="" Certificado="" SubTotal="1000.00" Moneda="MXN" Total="1180.00" TipoDeComprobante="I" Exportacion="01" MetodoPago="PUE" LugarExpedicion="72000">
  <cfdi:Emisor Rfc="AAA010101AAA" Nombre="EMPRESA DE PRUEBA" RegimenFiscal="601"/>
  <cfdi:Receptor Rfc="EKU9003173C9" Nombre="ESCUELA KEMPER URGATE" DomicilioFiscalReceptor="42501" RegimenFiscalReceptor="601" UsoCFDI="G03"/>
  <cfdi:Conceptos>
)";
    for (int i = 0; i < concepts; ++i) {
        const double amount = (i % 7 + 1) * 12.5;
        out << "    <cfdi:Concepto ClaveProdServ=\"01010101\" NoIdentificacion=\"SKU-" << i << "\" Cantidad=\""
            << (i % 7 + 1) << "\" ClaveUnidad=\"H87\" Unidad=\"Pieza\" Descripcion=\"Articulo de prueba numero " << i
            << "\" ValorUnitario=\"12.50\" Importe=\"" << amount << "\" ObjetoImp=\"02\">\n"
            << "      <cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Base=\"" << amount
            << "\" Impuesto=\"002\" TipoFactor=\"Tasa\" TasaOCuota=\"0.160000\" Importe=\"" << amount * 0.16
            << "\"/></cfdi:Traslados></cfdi:Impuestos>\n    </cfdi:Concepto>\n";
    }
    out << R"(  </cfdi:Conceptos>
  <cfdi:Impuestos TotalImpuestosTrasladados="160.00">
    <cfdi:Traslados>
      <cfdi:Traslado Base="1000.00" Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="160.00"/>
    </cfdi:Traslados>
  </cfdi:Impuestos>
  <cfdi:Complemento>
    <implocal:ImpuestosLocales version="1.0" TotaldeRetenciones="0.00" TotaldeTraslados="20.00">
      <implocal:TrasladosLocales ImpLocTrasladado="Impuesto estatal" TasadeTraslado="2.00" Importe="20.00"/>
    </implocal:ImpuestosLocales>
  </cfdi:Complemento>
</cfdi:Comprobante>
)";
    return path;
}

const std::string& Invoice40() {
    static const std::string path = WriteCfdi40Invoice(TempPath("invoice40.xml"), 50);
    return path;
}

// The invoice signed by us, for the verification cases.
const std::string& SignedInvoice() {
    static const std::string path = [] {
        std::string p = TempPath("signed.xml");
        if (KVN_SignXml(p.c_str(), Invoice().c_str(), kKey.c_str(), kPassword, kCert.c_str(), 0) != 0) std::abort();
        return p;
    }();
    return path;
}

// ---- the peer pipeline ------------------------------------------------------------------

struct Collector {
    std::string pipe = "||";
    std::string transferTotal;
    std::string sello, certificado;  // the root's, when asked for
    bool wantSignature = false;
};



std::string Value(const xmlChar** a) {
    return std::string(reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
}

void PeerStart(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*, int, const xmlChar**,
               int nbAttributes, int, const xmlChar** attrs) {
    auto* c = static_cast<Collector*>(ctx);
    const char* local = reinterpret_cast<const char*>(localname);
    if (std::strcmp(local, "Impuestos") == 0) {
        for (int i = 0; i < nbAttributes; ++i) {
            const xmlChar** a = attrs + 5 * i;
            if (std::strcmp(reinterpret_cast<const char*>(a[0]), "totalImpuestosTrasladados") == 0) {
                c->transferTotal.clear();
                kvn_bench::AppendNormalised(c->transferTotal, reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
            }
        }
        return;
    }
    if (c->wantSignature && std::strcmp(local, "Comprobante") == 0) {
        for (int i = 0; i < nbAttributes; ++i) {
            const xmlChar** a = attrs + 5 * i;
            if (std::strcmp(reinterpret_cast<const char*>(a[0]), "sello") == 0) c->sello = Value(a);
            if (std::strcmp(reinterpret_cast<const char*>(a[0]), "certificado") == 0) c->certificado = Value(a);
        }
    }
    auto it = kvn_bench::kPeerPipeOrder.find(local);
    if (it == kvn_bench::kPeerPipeOrder.end()) return;
    for (const std::string& name : it->second) {
        for (int i = 0; i < nbAttributes; ++i) {
            const xmlChar** a = attrs + 5 * i;
            if (a[1] == nullptr && name == reinterpret_cast<const char*>(a[0]) && a[4] > a[3]) {
                kvn_bench::AppendNormalised(c->pipe, reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
                c->pipe += '|';
                break;
            }
        }
    }
}

void PeerEnd(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*) {
    auto* c = static_cast<Collector*>(ctx);
    if (std::strcmp(reinterpret_cast<const char*>(localname), "Traslados") == 0 && !c->transferTotal.empty()) {
        c->pipe += c->transferTotal;
        c->pipe += '|';
    }
}

Collector PeerParse(const std::string& path, bool wantSignature) {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = PeerStart;
    sax.endElementNs = PeerEnd;
    Collector c;
    c.wantSignature = wantSignature;
    if (xmlSAXUserParseFile(&sax, &c, path.c_str()) != 0) std::abort();
    c.pipe += '|';
    return c;
}

EVP_PKEY* PeerReadKey() {
    BIO* bio = BIO_new_file(kKey.c_str(), "rb");
    EVP_PKEY* key = d2i_PKCS8PrivateKey_bio(bio, nullptr, nullptr, const_cast<char*>(kPassword));
    BIO_free(bio);
    if (!key) std::abort();
    return key;
}

X509* PeerReadCert() {
    BIO* bio = BIO_new_file(kCert.c_str(), "rb");
    X509* cert = d2i_X509_bio(bio, nullptr);
    BIO_free(bio);
    if (!cert) std::abort();
    return cert;
}

std::string PeerBase64(const unsigned char* data, std::size_t n) {
    std::string text(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(n));
    text.resize(static_cast<std::size_t>(len));
    return text;
}

std::vector<unsigned char> PeerUnbase64(const std::string& text) {
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) std::abort();
    std::size_t pad = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string PeerSign(EVP_PKEY* key, const std::string& pipe) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char sig[1024];
    std::size_t n = sizeof sig;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx, sig, &n, reinterpret_cast<const unsigned char*>(pipe.data()), pipe.size()) != 1) {
        std::abort();
    }
    EVP_MD_CTX_free(ctx);
    return PeerBase64(sig, n);
}

struct PeerCertificate {
    std::string text, number;
};

PeerCertificate PeerCertificateFields(X509* cert) {
    PeerCertificate fields;
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    fields.text = PeerBase64(der, static_cast<std::size_t>(n));
    OPENSSL_free(der);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    fields.number.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
                         static_cast<std::size_t>(ASN1_STRING_length(serial)));
    return fields;
}

void PeerWrite(const std::string& input, const std::string& output, const std::string& seal, const PeerCertificate& cert) {
    xmlDocPtr doc = xmlReadFile(input.c_str(), nullptr, 0);
    xmlNodePtr root = xmlDocGetRootElement(doc);
    xmlSetProp(root, BAD_CAST "sello", BAD_CAST seal.c_str());
    xmlSetProp(root, BAD_CAST "certificado", BAD_CAST cert.text.c_str());
    xmlSetProp(root, BAD_CAST "noCertificado", BAD_CAST cert.number.c_str());
    if (xmlSaveFileEnc(output.c_str(), doc, "UTF-8") < 0) std::abort();
    xmlFreeDoc(doc);
}

int PeerSignXml(const std::string& output) {
    Collector c = PeerParse(Invoice(), false);
    EVP_PKEY* key = PeerReadKey();
    std::string seal = PeerSign(key, c.pipe);
    X509* cert = PeerReadCert();
    if (X509_check_private_key(cert, key) != 1) std::abort();
    PeerCertificate fields = PeerCertificateFields(cert);
    PeerWrite(Invoice(), output, seal, fields);
    X509_free(cert);
    EVP_PKEY_free(key);
    return 0;
}

int PeerVerify(const std::string& path) {
    Collector c = PeerParse(path, true);
    std::vector<unsigned char> der = PeerUnbase64(c.certificado);
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    EVP_PKEY* key = X509_get_pubkey(cert);
    std::vector<unsigned char> sig = PeerUnbase64(c.sello);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    int ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
             EVP_DigestVerify(ctx, sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(c.pipe.data()),
                              c.pipe.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(cert);
    return ok ? 0 : -1;
}

// ---- end to end ---------------------------------------------------------------------------

void BM_SignXml_Ours(benchmark::State& state) {
    const std::string out = TempPath("ours.xml");
    for (auto _ : state) {
        if (KVN_SignXml(out.c_str(), Invoice().c_str(), kKey.c_str(), kPassword, kCert.c_str(), 0) != 0) std::abort();
    }
}

void BM_SignXml40_Ours(benchmark::State& state) {
    const std::string out = TempPath("ours40.xml");
    for (auto _ : state) {
        if (KVN_SignXml(out.c_str(), Invoice40().c_str(), kKey.c_str(), kPassword, kCert.c_str(), 0) != 0) std::abort();
    }
}

void BM_SignXml_Peer(benchmark::State& state) {
    const std::string out = TempPath("peer.xml");
    for (auto _ : state) benchmark::DoNotOptimize(PeerSignXml(out));
}

void BM_VerifySignature_Ours(benchmark::State& state) {
    const std::string doc = SignedInvoice();
    for (auto _ : state) {
        if (KVN_VerifySignature(doc.c_str(), nullptr, 0) != 0) std::abort();
    }
}

void BM_VerifySignature_Peer(benchmark::State& state) {
    const std::string doc = SignedInvoice();
    for (auto _ : state) {
        if (PeerVerify(doc) != 0) std::abort();
    }
}

// ---- steps ------------------------------------------------------------------------------

void BM_PipeString_Ours(benchmark::State& state) {
    for (auto _ : state) {
        kvn::String pipe;
        if (kvn::Failed(kvn::BuildPipeString(pipe, Invoice().c_str(), 0))) std::abort();
        benchmark::DoNotOptimize(pipe.data());
    }
}

void BM_PipeString_Peer(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(PeerParse(Invoice(), false).pipe.size());
}

// The key file read and decrypted into a key record, as signing reads it (once per call).
void BM_KeyDecryption_Ours(benchmark::State& state) {
    for (auto _ : state) {
        kvn::RsaKeyPtr key = kvn::rsa_KeyNew();
        kvn::Error stringCode;
        if (kvn::Failed(kvn::key_ReadPrivateKey(*key, stringCode, kKey.c_str(), kPassword))) std::abort();
    }
}

void BM_KeyDecryption_Peer(benchmark::State& state) {
    for (auto _ : state) EVP_PKEY_free(PeerReadKey());
}

void BM_PrivateOperation_Ours(benchmark::State& state) {
    kvn::RsaKeyPtr key = kvn::rsa_KeyNew();
    kvn::Error stringCode;
    if (kvn::Failed(kvn::key_ReadPrivateKey(*key, stringCode, kKey.c_str(), kPassword))) std::abort();
    std::vector<std::uint8_t> block(256);
    const char pipe[] = "||3.2|pipe|";
    for (auto _ : state) {
        if (kvn::Failed(kvn::rsa_EncodeSignature(block.data(), 256, reinterpret_cast<const std::uint8_t*>(pipe),
                                                 sizeof pipe - 1, 0x20)))
            std::abort();
        if (kvn::Failed(kvn::rsa_PrivateOp(*key, block.data(), 256))) std::abort();
    }
}

void BM_PrivateOperation_Peer(benchmark::State& state) {
    EVP_PKEY* key = PeerReadKey();
    for (auto _ : state) benchmark::DoNotOptimize(PeerSign(key, "||3.2|pipe|"));
    EVP_PKEY_free(key);
}

// Our key check inside signing: the certificate's public key read and compared with the
// key record the seal was made with; the seal's own check with the public exponent stands
// for the private key's self-test, so no private operation is made here.
void BM_KeyCheck_Ours(benchmark::State& state) {
    kvn::RsaKeyPtr key = kvn::rsa_KeyNew();
    kvn::Error stringCode;
    if (kvn::Failed(kvn::key_ReadPrivateKey(*key, stringCode, kKey.c_str(), kPassword))) std::abort();
    for (auto _ : state) {
        kvn::cred_Stage failed;
        if (kvn::Failed(kvn::cred_CheckPair(failed, *key, kvn::kOk, kCert.c_str(), 0))) std::abort();
    }
}

void BM_KeyCheck_Peer(benchmark::State& state) {
    EVP_PKEY* key = PeerReadKey();
    X509* cert = PeerReadCert();
    for (auto _ : state) benchmark::DoNotOptimize(X509_check_private_key(cert, key));
    X509_free(cert);
    EVP_PKEY_free(key);
}

void BM_Certificate_Ours(benchmark::State& state) {
    for (auto _ : state) {
        kvn::String text, serial;
        char number[256];
        int length = 0;
        if (kvn::Failed(kvn::x509_GetBase64(text, kCert.c_str())) || kvn::Failed(kvn::x509_GetSerial(serial, kCert.c_str())) ||
            kvn::Failed(kvn::cert_NumberFromHex(number, 255, serial, length)))
            state.SkipWithError("certificate not read");
        benchmark::DoNotOptimize(length);
    }
}

void BM_Certificate_Peer(benchmark::State& state) {
    for (auto _ : state) {
        X509* cert = PeerReadCert();
        benchmark::DoNotOptimize(PeerCertificateFields(cert).number.size());
        X509_free(cert);
    }
}

// The copy with the three values replaced; ours includes the flush to disk and the rename
// that make the output appear whole or not at all.
void BM_WriteDocument_Ours(benchmark::State& state) {
    const std::string out = TempPath("write-ours.xml");
    kvn::String text;
    if (kvn::Failed(kvn::x509_GetBase64(text, kCert.c_str()))) std::abort();
    const std::string seal(344, 'A');
    const char* uri = kvn::NamespaceForPrefix("cfdi");
    const kvn::AttributeReplacement reps[] = {{uri, "Comprobante", "sello", seal.c_str()},
                                              {uri, "Comprobante", "certificado", text.c_str()},
                                              {uri, "Comprobante", "noCertificado", "30001000000300000124"}};
    for (auto _ : state) {
        int version = 0;
        if (kvn::Failed(kvn::VersionNumber(Invoice().c_str(), version))) std::abort();
        benchmark::DoNotOptimize(version);
        kvn::ReplacingOutput output;
        if (!output.Open(out.c_str()) || kvn::Failed(kvn::WriteSignedDocument(Invoice().c_str(), output, 0, reps, 3)) ||
            !output.Commit()) {
            std::abort();
        }
    }
}

void BM_WriteDocument_Peer(benchmark::State& state) {
    const std::string out = TempPath("write-peer.xml");
    X509* cert = PeerReadCert();
    PeerCertificate fields = PeerCertificateFields(cert);
    X509_free(cert);
    const std::string seal(344, 'A');
    for (auto _ : state) PeerWrite(Invoice(), out, seal, fields);
}

// Verification's first half: the certificate and seal found in the document, the public
// key, the public operation.
void BM_OpenSignature_Ours(benchmark::State& state) {
    const std::string doc = SignedInvoice();
    for (auto _ : state) {
        kvn::Bytes block;
        if (kvn::Failed(kvn::OpenSignature(block, doc.c_str(), nullptr, 0))) std::abort();
    }
}

void BM_OpenSignature_Peer(benchmark::State& state) {
    const std::string doc = SignedInvoice();
    Collector c = PeerParse(doc, true);
    for (auto _ : state) {
        std::vector<unsigned char> der = PeerUnbase64(c.certificado);
        const unsigned char* p = der.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        EVP_PKEY* key = X509_get_pubkey(cert);
        std::vector<unsigned char> sig = PeerUnbase64(c.sello), block(sig.size());
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        std::size_t n = block.size();
        EVP_PKEY_verify_recover_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
        EVP_PKEY_verify_recover(ctx, block.data(), &n, sig.data(), sig.size());
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(key);
        X509_free(cert);
    }
}

BENCHMARK(BM_SignXml_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignXml_Peer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignXml40_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifySignature_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VerifySignature_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipeString_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipeString_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyDecryption_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyDecryption_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrivateOperation_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrivateOperation_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyCheck_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyCheck_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Certificate_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Certificate_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteDocument_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteDocument_Peer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSignature_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSignature_Peer)->Unit(benchmark::kMicrosecond);

// Collects the time per iteration of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
                seconds_[r.benchmark_name()] = r.real_accumulated_time / static_cast<double>(r.iterations);
                cpuSeconds_[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        // Wall time first (it counts the waits for the disk); on a loaded machine the CPU-time
        // ratio, in the last column, is the steadier one.
        std::printf("\n%-22s %12s %12s %8s %8s %10s\n", "case (us per call)", "ours", "peer", "ratio", "target",
                    "cpu ratio");
        for (const char* step : {"SignXml", "VerifySignature", "PipeString", "KeyDecryption", "PrivateOperation",
                                 "KeyCheck", "Certificate", "WriteDocument", "OpenSignature"}) {
            auto ours = seconds_.find(std::string("BM_") + step + "_Ours");
            auto peer = seconds_.find(std::string("BM_") + step + "_Peer");
            if (ours == seconds_.end() || peer == seconds_.end()) continue;
            const double ratio = ours->second / peer->second;
            const double target = std::strcmp(step, "SignXml") == 0 ? 1.0 : std::strcmp(step, "VerifySignature") == 0 ? 2.0 : 0.0;
            std::printf("%-22s %12.1f %12.1f %8.2f", step, ours->second * 1e6, peer->second * 1e6, ratio);
            if (target > 0) {
                std::printf(" %8.1f %-6s", target, ratio <= target ? "ok" : "MISSED");
            } else {
                std::printf(" %15s", "");
            }
            std::printf(" %10.2f\n", cpuSeconds_.at(ours->first) / cpuSeconds_.at(peer->first));
        }
        // 4.0 against 3.2, both ours: wall time and CPU time of the same runs.
        for (const auto* times : {&seconds_, &cpuSeconds_}) {
            auto v40 = times->find("BM_SignXml40_Ours"), v32 = times->find("BM_SignXml_Ours");
            if (v40 == times->end() || v32 == times->end()) continue;
            const double ratio = v40->second / v32->second;
            std::printf("%-22s %12.1f %12.1f %8.2f %8.2f %s\n", times == &seconds_ ? "SignXml 4.0/3.2" : "  the same, CPU",
                        v40->second * 1e6, v32->second * 1e6, ratio, 1.10, ratio <= 1.10 ? "ok" : "MISSED");
        }
    }

private:
    std::map<std::string, double> seconds_;
    std::map<std::string, double> cpuSeconds_;  // process CPU time, steadier on a loaded machine
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    for (const char* name : {"invoice.xml", "invoice40.xml", "signed.xml", "ours.xml", "ours40.xml", "peer.xml",
                             "write-ours.xml", "write-peer.xml"}) {
        std::remove(TempPath(name).c_str());
    }
    return 0;
}
