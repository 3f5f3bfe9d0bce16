// What every part of the program may include of the store: its public headers alone.
#include "memory_registry.h"
#include "registry_store.h"
