// Fuzz target: an order text through dispatch (parsing and command look-up), the target check,
// payload and timestamp extraction and the three rewrites that turn it into the answer JSON.
// Checks that the answer is JSON again and that each rewrite that reports success took effect.
#include <picojson.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Base64.h"
#include "CmdInfoBase.h"
#include "FuzzUtil.h"
#include "cmd_exec_env.h"

using fuzzutil::fail;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzutil::registerSilentLoggers();
    zorcee::attachObjects(nullptr);  // the order code's logger; no settings, no connection
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto cmd = zorcee::CreateCmdInfoObj(text);
    if (!cmd) {
        fail("CreateCmdInfoObj returned no object");
    }
    // Identity of this terminal; orders may name it, a wildcard or something else.
    cmd->isExecTarget("pf-A", "grp-1", "0123456789");

    const std::string request = cmd->choiseDataValue();
    cmd->choiseTimestamp();
    const std::string value = cmd->encodeDataValue(request);
    const int resultIndex = size % 2;
    const bool dataRewritten = cmd->reWriteData4Return(resultIndex, value);
    const bool targetErased = cmd->eraseTarget();
    const bool stamped = cmd->reWriteTimestamp();
    const std::string answer = cmd->getOutputData();

    picojson::value parsed;
    if (!picojson::parse(parsed, answer).empty()) {
        fail("the answer is not JSON");
    }
    if (!dataRewritten && !targetErased && !stamped) {
        return 0;
    }
    if (!parsed.is<picojson::object>()) {
        fail("a rewrite succeeded on an answer that is not an object");
    }
    const auto& root = parsed.get<picojson::object>();
    if (dataRewritten) {
        const auto d = root.find("data");
        if (d == root.end() || !d->second.is<picojson::object>()) {
            fail("data rewritten but missing");
        }
        const auto& members = d->second.get<picojson::object>();
        const auto v = members.find("value");
        const auto r = members.find("result");
        if (v == members.end() || !v->second.is<std::string>() ||
            v->second.get<std::string>() != value) {
            fail("data.value is not the new value");
        }
        if (r == members.end()) {
            fail("data.result missing");
        }
        if (zorcommon::decodeBase64(value) != request) {
            fail("the payload does not survive encoding");
        }
    }
    if (targetErased) {
        const auto o = root.find("order");
        if (o == root.end() || !o->second.is<picojson::object>()) {
            fail("target erased but order missing");
        }
        const auto& order = o->second.get<picojson::object>();
        const auto t = order.find("target");
        if (t == order.end() || !t->second.is<picojson::object>()) {
            fail("target erased but not an object any more");
        }
        const auto& target = t->second.get<picojson::object>();
        if (target.count("platform") || target.count("group") || target.count("terminal")) {
            fail("target members left after erasing");
        }
    }
    if (stamped) {
        const auto ts = root.find("timestamp");
        if (ts == root.end() || !ts->second.is<std::string>() ||
            ts->second.get<std::string>().size() != 19) {
            fail("timestamp not rewritten to \"YYYY-MM-DD hh:mm:ss\"");
        }
    }
    return 0;
}
