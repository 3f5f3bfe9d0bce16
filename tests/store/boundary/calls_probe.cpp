// Must not compile: the store's handles are its calls' own.
#include "handles.h"
