// Must not compile: the store's database is private to it.
#include "database.h"
