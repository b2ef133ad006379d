// The error table and KVN_ErrorLookup. Messages are "English/Spanish", plain ASCII.
#include <climits>
#include <cstring>

#include "base/outbuf.h"
#include "kelvane.h"

namespace {

struct ErrorRow {
    int code;
    const char* name;
    const char* message;
};

constexpr ErrorRow kErrorTable[] = {
    {SUCCESS_ERROR, "SUCCESS_ERROR", "OK, success, no error/OK, el exito, no hay error"},
    {OPEN_ERROR, "OPEN_ERROR", "Cannot open input file/No se puede abrir archivo de entrada"},
    {CREATE_ERROR, "CREATE_ERROR", "Cannot create output file/No se puede crear archivo de salida"},
    {READ_ERROR, "READ_ERROR", "File read error/Error de lectura de archivos"},
    {WRITE_ERROR, "WRITE_ERROR", "File write error/Archivo de error de escritura"},
    {MEMORY_ERROR, "MEMORY_ERROR", "Not enough memory/No hay suficiente memoria"},
    {BAD_PARAM_ERROR, "BAD_PARAM_ERROR", "Parameter is wrong or missing/El parametro es incorrecto o falta"},
    {BAD_FORMAT_ERROR, "BAD_FORMAT_ERROR", "Data is in wrong format/Datos esta en formato incorrecto"},
    {INVALID_DATA_ERROR, "INVALID_DATA_ERROR", "The data is invalid/La data no es valida"},
    {EOF_ERROR, "EOF_ERROR", "Unexpected end of file found/Fin inesperado del archivo encontrado"},
    {DECRYPT_ERROR, "DECRYPT_ERROR", "Decryption error/De error de descifrado"},
    {MISSING_ERROR, "MISSING_ERROR", "Required data is missing/Faltan datos requeridos"},
    {BAD_FLAG_ERROR, "BAD_FLAG_ERROR", "Invalid option/Opcion no valida"},
    {NOT_SUPPORTED_ERROR, "NOT_SUPPORTED_ERROR", "Algorithm or version not supported/Algoritmo o la version no soportada"},
    {NO_DATA_ERROR, "NO_DATA_ERROR", "No data found to process/No se han encontrado datos para procesar"},
    {NO_MATCH_ERROR, "NO_MATCH_ERROR", "Match not found/No se pudo encontrar datos coincidente"},
    {SIGNATURE_ERROR, "SIGNATURE_ERROR", "Signature is invalid or missing/Firma no es valida o falta"},
    {BAD_LENGTH_ERROR, "BAD_LENGTH_ERROR", "Data not a valid length/Datos de una longitud no valida"},
    {BAD_XML_ERROR, "BAD_XML_ERROR", "Invalid XML format/No valido formato XML"},
    {XML_FACET_ERROR, "XML_FACET_ERROR", "XML restriction is violated/XML restriccion es violada"},
    {BAD_QUERY_ERROR, "BAD_QUERY_ERROR", "Not a valid query/No es una consulta valida"},
    {SHORT_BUF_ERROR, "SHORT_BUF_ERROR", "Not enough room in output buffer/No suficiente espacio en el bufer de salida"},
    {BAD_CERT_ERROR, "BAD_CERT_ERROR", "Invalid X.509 certificate/No valido el certificado X.509"},
    {PARSER_FAILED_ERROR, "PARSER_FAILED_ERROR", "Internal error with XML parser/Error interno con el analizador de XML"},
    {VALIDATOR_FAIL_ERROR, "VALIDATOR_FAIL_ERROR", "XML validator failed/XML validador no funciona"},
    {BAD_DTD_ERROR, "BAD_DTD_ERROR", "DTD file is invalid/Archivo DTD no es valida"},
    {MISC_ERROR, "MISC_ERROR", "Miscellaneous error/Varios de error"},
};
static_assert(sizeof kErrorTable / sizeof kErrorTable[0] == 27);

}  // namespace

extern "C" KVN_API int KVN_ErrorLookup(char* out, int outlen, int errorCode) {
    if (errorCode == INT_MIN) return 0;
    int code = errorCode < 0 ? -errorCode : errorCode;
    for (const ErrorRow& row : kErrorTable) {
        if (row.code == code) return kvn::AnswerText(out, outlen, row.message);
    }
    return 0;
}
