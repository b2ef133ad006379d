// The identity exports, the error table and the output-buffer convention, called
// through the public header as a user would.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kelvane.h"

namespace {

TEST(Identity, VersionNumbers) {
    EXPECT_EQ(KVN_Version(), 50202);
    EXPECT_EQ(KVN_PKIVersion(), 381);
}

TEST(Identity, CompileTimeIsTheFixedIdentityTextAndCuts) {
    char buf[32];
    EXPECT_EQ(KVN_CompileTime(nullptr, 0), 20);
    ASSERT_EQ(KVN_CompileTime(buf, 31), 20);
    EXPECT_STREQ(buf, "Jan  3 2014 16:08:04");
    EXPECT_EQ(KVN_CompileTime(buf, 10), 10);
    EXPECT_STREQ(buf, "Jan  3 201");
}

TEST(Identity, PkiIdentityConstants) {
    char buf[32];
    EXPECT_EQ(KVN_PKICompileTime(nullptr, 0), 20);
    EXPECT_EQ(KVN_PKICompileTime(buf, 31), 20);
    EXPECT_STREQ(buf, "Dec 13 2013 08:58:37");
    EXPECT_EQ(KVN_PKIModuleName(buf, 31), 3);
    EXPECT_STREQ(buf, "N/A");
    EXPECT_EQ(KVN_PKIModuleName(buf, 2), 2);
    EXPECT_STREQ(buf, "N/");
}

TEST(Identity, ModuleNameIsTheLoadedLibrary) {
    char buf[300];
    int n = KVN_ModuleName(nullptr, 0, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(KVN_ModuleName(buf, 299, 1), n);
    std::string path(buf);
    EXPECT_NE(path.find("libkelvane.so"), std::string::npos) << path;
    EXPECT_EQ(path[0], '/');
    // A cut copy still answers the full length.
    EXPECT_EQ(KVN_ModuleName(buf, 3, 65), n);
    EXPECT_EQ(std::strlen(buf), 3u);
}

TEST(Identity, PlatformName) {
    char buf[16];
    EXPECT_EQ(KVN_ModuleName(nullptr, 0, KVN_OPT_PLATFORM), 7);
    EXPECT_EQ(KVN_ModuleName(nullptr, 5, KVN_OPT_PLATFORM), 0);
    EXPECT_EQ(KVN_ModuleName(buf, 3, KVN_OPT_PLATFORM), 3);
    EXPECT_STREQ(buf, "Lin");
    EXPECT_EQ(KVN_ModuleName(buf, 15, KVN_OPT_PLATFORM), 7);
    EXPECT_STREQ(buf, "Linux64");
}

TEST(ErrorTable, LookupByEitherSign) {
    char buf[256];
    EXPECT_EQ(KVN_ErrorLookup(nullptr, 0, -6), 64);
    EXPECT_EQ(KVN_ErrorLookup(buf, 255, 6), 64);
    EXPECT_STREQ(buf, "Parameter is wrong or missing/El parametro es incorrecto o falta");
    EXPECT_EQ(KVN_ErrorLookup(buf, 10, 1), 10);
    EXPECT_STREQ(buf, "Cannot ope");
    KVN_ErrorLookup(buf, 255, 0);
    EXPECT_STREQ(buf, "OK, success, no error/OK, el exito, no hay error");
}

TEST(ErrorTable, EveryRowByteExact) {
    const struct {
        int code;
        const char* message;
    } rows[] = {
        {1, "Cannot open input file/No se puede abrir archivo de entrada"},
        {2, "Cannot create output file/No se puede crear archivo de salida"},
        {3, "File read error/Error de lectura de archivos"},
        {4, "File write error/Archivo de error de escritura"},
        {5, "Not enough memory/No hay suficiente memoria"},
        {7, "Data is in wrong format/Datos esta en formato incorrecto"},
        {8, "The data is invalid/La data no es valida"},
        {9, "Unexpected end of file found/Fin inesperado del archivo encontrado"},
        {15, "Decryption error/De error de descifrado"},
        {16, "Required data is missing/Faltan datos requeridos"},
        {17, "Invalid option/Opcion no valida"},
        {19, "Algorithm or version not supported/Algoritmo o la version no soportada"},
        {20, "No data found to process/No se han encontrado datos para procesar"},
        {21, "Match not found/No se pudo encontrar datos coincidente"},
        {22, "Signature is invalid or missing/Firma no es valida o falta"},
        {26, "Data not a valid length/Datos de una longitud no valida"},
        {27, "Invalid XML format/No valido formato XML"},
        {28, "XML restriction is violated/XML restriccion es violada"},
        {29, "Not a valid query/No es una consulta valida"},
        {30, "Not enough room in output buffer/No suficiente espacio en el bufer de salida"},
        {101, "Invalid X.509 certificate/No valido el certificado X.509"},
        {102, "Internal error with XML parser/Error interno con el analizador de XML"},
        {103, "XML validator failed/XML validador no funciona"},
        {104, "DTD file is invalid/Archivo DTD no es valida"},
        {9999, "Miscellaneous error/Varios de error"},
    };
    char buf[256];
    for (const auto& row : rows) {
        EXPECT_EQ(KVN_ErrorLookup(buf, 255, -row.code), static_cast<int>(std::strlen(row.message)));
        EXPECT_STREQ(buf, row.message);
    }
}

TEST(ErrorTable, UnknownCodesLeaveTheBufferAlone) {
    for (int code : {10, 18, 24, 11, 13, 14, 36, 9745, -2147483647 - 1}) {
        char buf[8] = "keep";
        EXPECT_EQ(KVN_ErrorLookup(buf, 7, code), 0) << code;
        EXPECT_STREQ(buf, "keep");
    }
}

TEST(ErrorTable, LookupDoesNotTouchLastError) {
    char buf[128];
    KVN_FixBOM("", "");  // leaves nothing but clears
    EXPECT_EQ(KVN_LastError(nullptr, 0), 0);
    KVN_FixBOM("/nonexistent-dir/out", "/nonexistent-dir/in");
    int before = KVN_LastError(nullptr, 0);
    ASSERT_GT(before, 0);
    KVN_ErrorLookup(buf, 127, 1);
    KVN_Version();
    KVN_CompileTime(buf, 127);
    EXPECT_EQ(KVN_LastError(nullptr, 0), before);
}

}  // namespace
