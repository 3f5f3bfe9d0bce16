#pragma once
// What a registry call's answer code means, in the words every message of regstore and the imports
// uses: "not found", "access denied", "cannot write the store", ...; "registry error N" for the rest.
#include "winapi.h"

#include <string>

namespace hivestore {

std::string RegistryErrorText(LONG rc);

}  // namespace hivestore
