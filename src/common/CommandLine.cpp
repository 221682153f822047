#include "CommandLine.h"

#include <cstring>
#include <iostream>

#include "Version.h"

namespace zorcommon {

int parseCommandLine(int argc, char** argv, const char* program, std::string& configPath) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << "Usage: " << program << " [-c FILE | --config FILE] [-h] [-V]\n"
                      << "  -c, --config FILE  read this settings file (default " << configPath
                      << ")\n"
                      << "  -h, --help         show this help and exit\n"
                      << "  -V, --version      show the version and exit\n";
            return 0;
        }
        if (arg == "-V" || arg == "--version") {
            std::cout << program << " " << CEE_VERSION << "\n";
            return 0;
        }
        if ((arg == "-c" || arg == "--config") && i + 1 < argc) {
            configPath = argv[++i];
            continue;
        }
        if (arg.rfind("--config=", 0) == 0) {
            configPath = arg.substr(std::strlen("--config="));
            continue;
        }
        std::cerr << program << ": invalid argument '" << arg << "' (usage: " << program
                  << " [-c FILE] [-h] [-V])" << std::endl;
        return kUsageError;
    }
    return kContinue;
}

}  // namespace zorcommon
