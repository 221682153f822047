#include "FileUtil.h"

#include <sys/stat.h>

#include "StringUtil.h"

namespace zorcommon {

int makeDirectories(const std::string& path) {
    std::string prefix;
    for (const auto& component : splitString(path, "/", true, false)) {
        prefix += "/" + component;
        struct stat st {};
        if (::stat(prefix.c_str(), &st) != 0) {
            ::mkdir(prefix.c_str(), 0755);
        } else if (!S_ISDIR(st.st_mode)) {
            return 2;
        }
    }
    return 0;
}

}  // namespace zorcommon
