#include "SettingStore.h"

#include <picojson.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <iterator>

#include "JsonUtil.h"

namespace zorcommon {

SettingStore::SettingStore(const std::vector<SettingSpec>& specs) {
    entries_.reserve(specs.size());
    for (const auto& spec : specs) {
        entries_.push_back(Entry{spec, spec.kind == SettingKind::String ? spec.defaultString : "",
                                 spec.defaultInt});
    }
}

int SettingStore::toInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(std::trunc(value));
}

int SettingStore::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "failed to read setting file : " << path << std::endl;
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();

    picojson::value root;
    const std::string err = parseJson(root, text);
    if (!err.empty()) {
        std::cerr << err << std::endl;
        return 2;
    }
    if (!root.is<picojson::object>()) {
        return 0;  // nothing usable: every default stays
    }
    const auto& top = root.get<picojson::object>();

    for (auto& entry : entries_) {
        const picojson::object* holder = &top;
        if (entry.spec.section != nullptr) {
            const auto sec = top.find(entry.spec.section);
            if (sec == top.end() || !sec->second.is<picojson::object>()) {
                continue;
            }
            holder = &sec->second.get<picojson::object>();
        }
        const auto member = holder->find(entry.spec.key);
        if (member == holder->end()) {
            continue;
        }
        const picojson::value& v = member->second;
        if (entry.spec.kind == SettingKind::String) {
            if (v.is<std::string>()) {
                entry.text = v.get<std::string>();
            }
        } else if (entry.spec.kind == SettingKind::Bool) {
            if (v.is<bool>()) {
                entry.number = v.get<bool>() ? 1 : 0;
            }
        } else if (v.is<double>()) {
            int number = toInt32(v.get<double>());
            if (entry.spec.kind == SettingKind::IntMillisToMicros) {
                number = toInt32(static_cast<double>(number) * 1000.0);
            }
            entry.number = number;
        }
    }
    return 0;
}

const SettingStore::Entry* SettingStore::find(const std::string& key) const {
    for (const auto& entry : entries_) {
        if (key == entry.spec.key) {
            return &entry;
        }
    }
    return nullptr;
}

std::string SettingStore::getStringValue(const std::string& key) const {
    return stringRef(key);
}

const std::string& SettingStore::stringRef(const std::string& key) const {
    static const std::string empty;
    const Entry* e = find(key);
    return (e != nullptr && e->spec.kind == SettingKind::String) ? e->text : empty;
}

int SettingStore::getIntValue(const std::string& key) const {
    const Entry* e = find(key);
    return (e != nullptr && e->spec.kind != SettingKind::String) ? e->number : kUnknownIntSetting;
}

}  // namespace zorcommon
