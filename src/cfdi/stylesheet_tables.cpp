#include "cfdi/stylesheet_tables.h"

#include "kelvane.h"

namespace kvn {

const StylesheetTables* StylesheetFor(int versionNumber, bool stamp) noexcept {
    switch (versionNumber) {
        case 20: return stamp ? nullptr : &kStylesheet20;
        case 22: return stamp ? nullptr : &kStylesheet22;
        case 30: return stamp ? &kStylesheetStamp10 : &kStylesheet30;
        case 32: return stamp ? &kStylesheetStamp10 : &kStylesheet32;
        case 33: return stamp ? &kStylesheetStamp11 : &kStylesheet33;
        case 40: return stamp ? &kStylesheetStamp11 : &kStylesheet40;
        case KVN_VERSION_RET10: return stamp ? &kStylesheetStamp10 : &kStylesheetRet10;
        case KVN_VERSION_RET20: return stamp ? &kStylesheetStamp11 : &kStylesheetRet20;
        default: return nullptr;
    }
}

}  // namespace kvn
