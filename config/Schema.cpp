#include "config/Schema.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace Config {

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

namespace Detail {

void NoteUnknownAndRepeated(const Value& object, const std::vector<const char*>& names,
                            const Place& place) {
    std::set<std::string> seen;
    for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
        std::string name(member->name.GetString(), member->name.GetStringLength());
        if (std::none_of(names.begin(), names.end(),
                         [&](const char* known) { return name == known; })) {
            place.Note("unknown key " + Quoted(name) + " is ignored");
        } else if (!seen.insert(name).second) {
            place.Note(Quoted(name) + " appears again: the first one counts");
        }
    }
}

}  // namespace Detail

void Reading::Refuse(const Value& at, const std::string& why) {
    if (refusal_.empty()) {
        const std::string position = text_.Position(at);
        refusal_ = position.empty() ? why : position + ": " + why;
    }
}

void Place::Note(const std::string& line) const {
    reading.Note((where.empty() ? std::string("top level") : where) + ": " + line);
}

void Place::Refuse(const Value& at, const char* key, const std::string& problem) const {
    reading.Refuse(at, KeyAt(where, key) + ": " + problem);
}

Place Place::Inner(const std::string& name) const {
    return {reading, where.empty() ? name : where + "." + name};
}

std::string KeyAt(const std::string& where, const char* key) {
    return (where.empty() ? "" : where + " ") + Quoted(key);
}

void ReadFlag(const Value& value, bool& target, const Place&) {
    target = value.GetBool();
}

void ReadText(const Value& value, std::string& target, const Place&) {
    target.assign(value.GetString(), value.GetStringLength());
}

std::function<void(const Value&, std::string&, const Place&)> ReadNonEmptyText(const char* key) {
    return [key](const Value& value, std::string& target, const Place& place) {
        if (value.GetStringLength() == 0 ||
            std::strlen(value.GetString()) != value.GetStringLength()) {
            place.Refuse(value, key, "must be a text that is not empty");
            return;
        }
        target.assign(value.GetString(), value.GetStringLength());
    };
}

std::function<void(const Value&, int&, const Place&)> ReadInteger(const char* key) {
    return [key](const Value& value, int& target, const Place& place) {
        if (!value.IsInt()) {
            place.Refuse(value, key, "not a 32-bit integer");
            return;
        }
        target = value.GetInt();
    };
}

}  // namespace Config
