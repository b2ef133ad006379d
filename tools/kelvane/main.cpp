// kelvane: build, seal, verify and validate electronic invoices from the shell.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "kelvane.h"

namespace cli {
namespace {

const char kOverview[] =
    "usage: kelvane COMMAND [OPTIONS] [ARGS]\n"
    "       kelvane COMMAND --help      details and an example for one command\n"
    "\n"
    "Commands:\n";

const char kCommonHelp[] =
    "\n"
    "Options for every command:\n"
    "  --json          print one JSON object on standard output: {\"command\", \"ok\", \"code\",\n"
    "                  \"message\", \"result\"}, and on failure \"error\" (the code's name) and\n"
    "                  \"hint\"; batch commands give \"summary\" and \"results\" (one object\n"
    "                  per file) instead of \"result\"\n"
    "  -q, --quiet     batch commands: print only failures and the summary\n"
    "  -h, --help      show help\n"
    "\n"
    "Passwords of private keys are taken from, in this order: --password-file FILE (its first\n"
    "line; '-' reads standard input), --password TEXT (visible to other users of the machine),\n"
    "the environment variable KELVANE_PASSWORD, or a prompt without echo on the terminal.\n"
    "\n"
    "Batch commands (sign, verify, validate) take several files and directories (searched for\n"
    "*.xml), run them over all processors (-j N to choose), show progress on a terminal and end\n"
    "with a summary.\n"
    "\n"
    "Results go to standard output, the library's messages to standard error (with one plain\n"
    "line under them for the common failures).\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  a check failed: invalid seal, invalid document, key does not match certificate\n"
    "  2  the command line is wrong\n"
    "  3  an input file cannot be opened or read\n"
    "  4  an output file cannot be written\n"
    "  5  the private key cannot be read: wrong password or not a key file\n"
    "  6  input is malformed or unsupported, or lacks what was asked for\n"
    "  9  other failure (out of memory, internal error)\n"
    "A batch exits with the highest status of any of its files.\n";

#define SIGN_OPTS "  --md5           digest with MD5 instead of SHA-1 (not for CFDI 3.3/4.0: SHA-256)\n" \
                  "  --latin1        sign the Latin-1 bytes of the pipe string\n" \
                  "  --stamp         work on the tfd:TimbreFiscalDigital stamp\n"
#define KEY_OPTS  "  -k, --key KEY   encrypted private-key file (DER or PEM)\n" \
                  "  --password-file FILE, --password TEXT   the key's password\n"

const std::vector<Command> kCommands = {
    {"sign", "seal invoices and write the signed documents",
     "usage: kelvane sign FILE... -k KEY [-c CERT] [-o OUT | --out-dir DIR | --in-place]\n"
     "Computes each document's seal and writes the document with sello (and, with a\n"
     "certificate, noCertificado and certificado) filled in; in CFDI 3.3/4.0 Sello,\n"
     "NoCertificado and Certificado, added to the root when it lacks them. Up to CFDI 3.2\n"
     "the root must already carry those attributes (usually empty): a document without\n"
     "sello is refused. One file without -o is written to standard output; -o may name a\n"
     "file (replaced when complete, keeping its mode and owner), a link to one, a device\n"
     "or a pipe (written as it goes, e.g. /dev/stdout). With several files the key is read and\n"
     "the certificate checked once, for the whole batch.\n"
     KEY_OPTS
     "  -c, --cert CERT certificate (DER or PEM file); checked against the key\n"
     "  -o, --output OUT      signed document for a single input\n"
     "  --out-dir DIR         write each signed document under DIR with its own name\n"
     "  --in-place            replace each input with its signed version\n"
     "  --no-bom              write no UTF-8 byte-order mark\n"
     SIGN_OPTS
     "  -j, --jobs N          worker threads (default: all processors)\n"
     "example: kelvane sign invoice.xml -k issuer.key -c issuer.cer --password-file pw.txt -o signed.xml\n",
     {"key", "cert", "output", "out-dir", "in-place", "no-bom", "md5", "latin1", "stamp", "jobs", "password",
      "password-file"},
     RunSign},
    {"seal", "print the base64 seal of a document without writing it",
     "usage: kelvane seal FILE... -k KEY\n"
     "With several files the key is read once and each seal is printed as \"FILE: SEAL\".\n"
     KEY_OPTS SIGN_OPTS
     "example: kelvane seal invoice.xml -k issuer.key --password-file pw.txt\n",
     {"key", "md5", "latin1", "stamp", "password", "password-file"}, RunSeal},
    {"digest", "print the digest (hex) of a document's pipe string",
     "usage: kelvane digest FILE [--md5] [--latin1] [--stamp]\n"
     SIGN_OPTS
     "example: kelvane digest invoice.xml --md5\n",
     {"md5", "latin1", "stamp"}, RunDigest},
    {"pipestring", "print the pipe string (the text the seal covers)",
     "usage: kelvane pipestring FILE [--latin1] [--stamp]\n"
     "  --latin1        give the pipe string in Latin-1 instead of UTF-8\n"
     "  --stamp         the pipe string of the tfd:TimbreFiscalDigital stamp\n"
     "example: kelvane pipestring invoice.xml\n",
     {"latin1", "stamp"}, RunPipeString},
    {"verify", "check the seal of signed invoices",
     "usage: kelvane verify FILE|DIR... [-c CERT] [--stamp [--sat-certs DIR]] [--latin1]\n"
     "Checks that each document's sello (Sello in CFDI 3.3/4.0) is a valid signature of its\n"
     "pipe string, with the certificate in the document (certificado, Certificado) or the one\n"
     "given. A folder may hold invoices of any version.\n"
     "  -c, --cert CERT certificate to check against; with --stamp, the certificate of the\n"
     "                  authority that stamped the document\n"
     "  --stamp         check selloSAT (SelloSAT) of the (first) tfd:TimbreFiscalDigital stamp\n"
     "  --sat-certs DIR with --stamp and without -c: the folder of the authority's stamping\n"
     "                  certificates, searched for the one the stamp's NoCertificadoSAT names\n"
     "                  (default: the environment variable KELVANE_SAT_CERTS)\n"
     "  --latin1        the seal was made over the Latin-1 pipe string\n"
     "  -j, --jobs N    worker threads (default: all processors)\n"
     "example: kelvane verify signed.xml invoices/\n"
     "         kelvane verify --stamp --sat-certs sat-certs/ stamped.xml\n",
     {"cert", "stamp", "sat-certs", "latin1", "jobs"}, RunVerify},
    {"extract-digest", "print the digest (hex) carried inside a document's seal",
     "usage: kelvane extract-digest FILE [-c CERT] [--stamp]\n"
     "  -c, --cert CERT certificate whose key opens the seal (default: the document's own)\n"
     "  --stamp         open selloSAT of the stamp (needs -c)\n"
     "example: kelvane extract-digest signed.xml\n",
     {"cert", "stamp"}, RunExtractDigest},
    {"validate", "validate invoices against their version's structure and value rules",
     "usage: kelvane validate FILE|DIR... [--no-facets] [--catalogs DIR]\n"
     "CFDI 3.3 and 4.0 are checked against the tax authority's schemas of the version and of\n"
     "the complements they carry, and their catalog values at the invoice's date; every\n"
     "finding is listed under the file, one line each:\n"
     "  FILE:LINE: error|warning CODE PATH[/@ATTRIBUTE]: MESSAGE\n"
     "A warning is a check not made (its catalog is absent): it does not make a file invalid.\n"
     "With --json each file's result carries \"findings\": one object per finding (kind, code,\n"
     "severity, line, path, attribute, value, message). Older versions are checked against the\n"
     "DTD and value restrictions of their version.\n"
     "  --no-facets     check the structure only, not the values (types, facets, catalogs)\n"
     "  --catalogs DIR  catalogs in the CSV layout of the built-in snapshot that replace its\n"
     "                  own (default: $KELVANE_CATALOGS, else the snapshot); the only source of\n"
     "                  c_ClaveProdServ, c_CodigoPostal, c_Colonia and c_NumPedimentoAduana\n"
     "  -j, --jobs N    worker threads (default: all processors)\n"
     "Exit status: 0 every file valid; 1 a file invalid (or not well-formed); 3 a file or the\n"
     "catalog folder cannot be read; 6 a version that is not supported or a malformed catalog.\n"
     "example: kelvane validate invoice.xml invoices/ --catalogs ~/catalogos\n",
     {"no-facets", "jobs", "catalogs"}, RunValidate},
    {"json", "print a document as JSON",
     "usage: kelvane json FILE\n"
     "Prints the document as one JSON object: {\"ROOT\": ELEMENT}, an element being an object\n"
     "of its attributes (\"@Name\": \"value\", as written), its text (\"#text\") and its child\n"
     "elements (\"prefix:Local\", with the tax authority's prefix for its namespaces). A child\n"
     "that the schema lets repeat is always an array (cfdi:Concepto, cfdi:Traslado, ...).\n"
     "Every version and complement is read; Addenda and unknown content keep their shape.\n"
     "The shape is docs/document.schema.json.\n"
     "example: kelvane json invoice.xml > invoice.json\n",
     {}, RunJson},
    {"table", "write a table (CSV) of many invoices, one row per document or per concept",
     "usage: kelvane table FILE|DIR|ZIP... [-o OUT.csv] [--lines]\n"
     "Reads every document (folders are searched for *.xml and *.zip; ZIP archives are read\n"
     "entry by entry without unpacking) and writes one CSV row per document: file, status,\n"
     "error, uuid, version, type, date, series, folio, issuer and receiver RFC and name,\n"
     "currency, exchange rate, subtotal, discount, total, payment method and form, the tax\n"
     "totals, taxes by tax and rate, local taxes, stamp date, certifier, stamp certificate\n"
     "and seal (valid, invalid, unsigned, unverifiable). Values are as written in the\n"
     "documents; an absent value is an empty field. A ZIP entry's file is ARCHIVE:ENTRY.\n"
     "A damaged document, or a refused ZIP entry (a name with '..' or absolute, encrypted,\n"
     "a ZIP bomb, not XML), is a row with status error and its reason; the rest go on.\n"
     "  -o, --output OUT  the CSV file (replaced when complete; default: standard output)\n"
     "  --lines           one row per concept (cfdi:Concepto) instead of per document\n"
     "  -j, --jobs N      worker threads (default: all processors)\n"
     "Exit status: 0 every document read; 6 some document damaged or refused; 3 only\n"
     "unreadable files failed; 4 the output cannot be written.\n"
     "example: kelvane table descargas/ 2024.zip -o facturas.csv\n",
     {"output", "lines", "jobs"}, RunTable},
    {"attribute", "print one attribute of a document",
     "usage: kelvane attribute FILE NAME [ELEMENT]\n"
     "ELEMENT defaults to the root (Comprobante); a prefix selects a namespace and [n] the\n"
     "n-th occurrence.\n"
     "example: kelvane attribute invoice.xml importe 'cfdi:Concepto[2]'\n",
     {}, RunAttribute},
    {"version", "print the version of an invoice (CFD 2.0/2.2, CFDI 3.0/3.2/3.3/4.0)",
     "usage: kelvane version FILE\n"
     "Prints the version name and the library's number for it (2, 22, 3, 32, 33 or 40).\n"
     "example: kelvane version invoice.xml\n",
     {}, RunDocVersion},
    {"cert", "show a certificate's number, validity, RFC, organisation or base64 form",
     "usage: kelvane cert CERT [number|not-before|expiry|rfc|organization|base64]... [--query Q]\n"
     "CERT is a certificate file (DER or PEM) or a signed invoice (its certificado is used).\n"
     "Without fields: all but base64 (--all adds it).\n"
     "  --query Q       ask the library's query directly (rfc, organizationName, notBefore,\n"
     "                  notAfter, serialNumber)\n"
     "  --latin1        rfc and organization in Latin-1 instead of UTF-8\n"
     "  --not-before    'expiry' gives the start of validity instead of the end\n"
     "example: kelvane cert issuer.cer number expiry\n",
     {"query", "latin1", "not-before", "all"}, RunCert},
    {"check-key", "check that a private key belongs to a certificate",
     "usage: kelvane check-key -k KEY -c CERT\n"
     KEY_OPTS
     "  -c, --cert CERT certificate file or signed invoice\n"
     "example: kelvane check-key -k issuer.key -c issuer.cer --password-file pw.txt\n",
     {"key", "cert", "password", "password-file"}, RunCheckKey},
    {"key-xml", "print a private key in its RSAKeyValue XML form (base64)",
     "usage: kelvane key-xml -k KEY [--xml]\n"
     "The output contains the private key: keep it as secret as the key file.\n"
     KEY_OPTS
     "  --xml           print the XML itself instead of its base64 form\n"
     "example: kelvane key-xml -k issuer.key --xml\n",
     {"key", "xml", "password", "password-file"}, RunKeyXml},
    {"pfx", "pack a key and its certificate into a PKCS#12 (PFX) file",
     "usage: kelvane pfx -k KEY -c CERT -o OUT.pfx\n"
     "The file is written as base64 text. Its password is --pfx-password-file FILE,\n"
     "--pfx-password TEXT or KELVANE_PFX_PASSWORD; without one, the key's password.\n"
     KEY_OPTS
     "  -c, --cert CERT certificate file\n"
     "  -o, --output OUT      the PFX file to write\n"
     "example: kelvane pfx -k issuer.key -c issuer.cer -o issuer.pfx --password-file pw.txt\n",
     {"key", "cert", "output", "password", "password-file", "pfx-password", "pfx-password-file"}, RunPfx},
    {"fix-bom", "make a UTF-8 file start with a byte-order mark",
     "usage: kelvane fix-bom FILE [-o OUT]\n"
     "Writes FILE (in place without -o) with a UTF-8 byte-order mark in front; refuses a file\n"
     "that is not valid UTF-8.\n"
     "example: kelvane fix-bom invoice.xml -o invoice-bom.xml\n",
     {"output"}, RunFixBom},
    {"error", "explain an error code",
     "usage: kelvane error [CODE...]\n"
     "CODE is a number (either sign) or a name such as SIGNATURE_ERROR; without codes the\n"
     "whole table is printed.\n"
     "example: kelvane error -22\n",
     {}, RunError},
    {"info", "show the library's version, build time, module path and platform",
     "usage: kelvane info\n"
     "example: kelvane info --json\n",
     {}, RunInfo},
};

int PrintOverview(FILE* out) {
    std::fputs(kOverview, out);
    for (const Command& c : kCommands) std::fprintf(out, "  %-15s %s\n", c.name, c.summary);
    std::fputs(kCommonHelp, out);
    return kExitOk;
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        PrintOverview(stderr);
        return kExitUsage;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        if (name == "help" && argc > 2) {
            const Command* c = FindCommand(argv[2]);
            if (!c) return UsageError("", std::string("unknown command '") + argv[2] + "'");
            std::fputs(c->usage, stdout);
            return kExitOk;
        }
        return PrintOverview(stdout);
    }
    if (name == "--version") {
        int v = KVN_Version();
        std::printf("kelvane %d.%d.%d\n", v / 10000, v / 100 % 100, v % 100);
        return kExitOk;
    }
    const Command* cmd = FindCommand(name);
    if (!cmd) return UsageError("", "unknown command '" + name + "'");
    Invocation inv;
    if (!ParseArguments(*cmd, argc - 2, argv + 2, &inv)) return kExitUsage;
    if (inv.has("help")) {
        std::fputs(cmd->usage, stdout);
        return kExitOk;
    }
    int status = cmd->run(inv);
    std::fflush(stdout);
    return status;
}

}  // namespace

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace cli

int main(int argc, char** argv) { return cli::Main(argc, argv); }
