// Prints the details of each installation on SOURCE as list-windows reads them (the version and
// detail keys on demand into a registry in memory), one JSON object a line, for the check against
// reglookup (details_outside_check.py).
#include "details.h"
#include "inventory_json.h"
#include "memory_registry.h"
#include "windows_import.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: details_dump SOURCE\n";
        return 2;
    }
    auto source = disk::Source::Open(argv[1]);
    for (const auto& installation : source->Installations()) {
        const ScopedMemoryRegistry inMemory;
        installations::ImportWindows(*source, installation, installations::Extent::Details);
        std::cout << output::JsonText(output::DetailsJson(installations::ReadDetails(), std::nullopt)) << "\n";
    }
    return 0;
}
