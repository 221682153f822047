// Fuzz target: an order text through dispatch (parsing and command look-up), the target check,
// payload and timestamp extraction and the three rewrites that turn it into the answer JSON.
// Checks that the answer is JSON again and that each rewrite that reports success took effect.
#include <picojson.h>

#include <string>

#include "Base64.h"
#include "CmdInfoBase.h"
#include "FuzzUtil.h"
#include "cmd_exec_env.h"

namespace {
// The member `key` of `v` when `v` is an object that has it, else nullptr.
const picojson::value* member(const picojson::value* v, const char* key) {
    if (v == nullptr || !v->is<picojson::object>()) {
        return nullptr;
    }
    const auto& members = v->get<picojson::object>();
    const auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
}

bool isText(const picojson::value* v) {
    return v != nullptr && v->is<std::string>();
}
}  // namespace

void fuzzutil::fuzzInit() {
    zorcee::attachObjects(nullptr);  // the order code's logger; no settings, no connection
}

void fuzzutil::fuzzOne(const std::string& input) {
    const auto cmd = zorcee::CreateCmdInfoObj(input);
    check(cmd != nullptr, "CreateCmdInfoObj returned no object");
    // Identity of this terminal; orders may name it, a wildcard or something else.
    cmd->isExecTarget("pf-A", "grp-1", "0123456789");

    const std::string request = cmd->choiseDataValue();
    cmd->choiseTimestamp();
    const std::string value = cmd->encodeDataValue(request);
    const bool dataRewritten = cmd->reWriteData4Return(input.size() % 2, value);
    const bool targetErased = cmd->eraseTarget();
    const bool stamped = cmd->reWriteTimestamp();

    picojson::value answer;
    check(picojson::parse(answer, cmd->getOutputData()).empty(), "the answer is not JSON");
    if (dataRewritten) {
        const picojson::value* data = member(&answer, "data");
        const picojson::value* newValue = member(data, "value");
        check(isText(newValue) && newValue->get<std::string>() == value,
              "data.value is not the new value");
        check(member(data, "result") != nullptr, "data.result missing");
        check(zorcommon::decodeBase64(value) == request, "the payload does not survive encoding");
    }
    if (targetErased) {
        const picojson::value* target = member(member(&answer, "order"), "target");
        check(target != nullptr && target->is<picojson::object>(),
              "target erased but not an object any more");
        for (const char* key : {"platform", "group", "terminal"}) {
            check(member(target, key) == nullptr, "target members left after erasing");
        }
    }
    if (stamped) {
        const picojson::value* ts = member(&answer, "timestamp");
        check(isText(ts) && ts->get<std::string>().size() == 19,
              "timestamp not rewritten to \"YYYY-MM-DD hh:mm:ss\"");
    }
}
