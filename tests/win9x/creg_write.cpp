// Writes the Windows 9x registry a REGEDIT4 file describes, for the tests that need one on disk:
//   creg_write FILE.reg FOLDER   makes FOLDER/SYSTEM.DAT and FOLDER/USER.DAT
#include "creg_kit.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: creg_write FILE.reg FOLDER\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        const auto registry = cregkit::FromRegFile(regfile::Parse(text.str()));
        for (const auto& [name, key] :
             {std::pair{"SYSTEM.DAT", &registry.system}, std::pair{"USER.DAT", &registry.user}}) {
            const auto bytes = cregkit::Write(*key);
            std::ofstream out(std::string(argv[2]) + "/" + name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            if (!out) throw std::runtime_error(std::string(argv[2]) + "/" + name + ": cannot write");
        }
    } catch (const std::exception& e) {
        std::cerr << "creg_write: " << argv[1] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
