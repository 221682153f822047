// Fuzz target: an arbitrary answer of the logger application to the storage battery status
// request, judged by checkReceiveData.
#include <string>

#include "FuzzUtil.h"
#include "updater/cee_upd.h"

void fuzzutil::fuzzOne(const std::string& input) {
    zorupd::cee_upd updater(nullptr);
    const int r = updater.checkReceiveData(input);
    check(r == 1 || r == -1, "checkReceiveData outside 1 / -1");
    check(r != 1 || input.find("SUCCESS") != std::string::npos,
          "accepted an answer without SUCCESS");
}
