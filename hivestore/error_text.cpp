#include "error_text.h"

namespace hivestore {

std::string RegistryErrorText(LONG rc) {
    switch (rc) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_BADDB:
            return "the store is not a registry database";
        case ERROR_CANTREAD:
            return "cannot read the store";
        case ERROR_CANTWRITE:
            return "cannot write the store";
        case ERROR_BAD_PATHNAME:
            return "not a key path";
        case ERROR_MORE_DATA:
            return "a name too long for the registry";
        case ERROR_INVALID_PARAMETER:
            return "a name or value the registry does not take";
        case ERROR_KEY_DELETED:
            return "the key was deleted meanwhile";
        default:
            return "registry error " + std::to_string(rc);
    }
}

}  // namespace hivestore
