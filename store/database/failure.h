#pragma once
// How a store call that cannot go on says so.
#include "winapi.h"

namespace store {

// A registry call that cannot go on: the code it answers with.
struct Failure {
    LONG code;
};

}  // namespace store
