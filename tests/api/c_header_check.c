/* Compiled as C: the public header must be plain C, and the library callable from C. */
#include <stdio.h>
#include <string.h>

#include "kelvane.h"

int main(void) {
    char buf[256];
    if (KVN_Version() != 50202) return 1;
    if (KVN_ErrorLookup(buf, 255, -BAD_PARAM_ERROR) != 64) return 2;
    if (strcmp(buf, "Parameter is wrong or missing/El parametro es incorrecto o falta") != 0) return 3;
    if (KVN_FixBOM(NULL, "x") != -BAD_PARAM_ERROR) return 4;
    printf("kelvane %d from C\n", KVN_Version());
    return 0;
}
