#pragma once
// A configuration section as a table of keys. Each key has its name, the JSON kind its
// value must have, what a value of another kind does (it is noted and the default applies,
// or it refuses the whole text), whether a reload applies it or only a restart, how it is
// read, written back and described. One walk of a parsed text by these tables yields the
// settings, the notes on what is ignored, and the first refusal with its line and column.
//
// The policy every section shares: an unknown key, a repeated key (the first counts) and a
// value of the wrong kind that does not refuse are noted, never silently ignored.
//
// Tables are built once and then constant; a Reading belongs to the thread that reads.

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/JsonText.h"

namespace Config {

using rapidjson::Value;
using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

// Whether a reload applies a key, or only a restart.
enum class Change { live, restart };
// What a value of the wrong kind does.
enum class WrongKind { noted, refused };

// What one walk found besides the settings.
class Reading {
public:
    explicit Reading(const JsonText& text) : text_(text) {}

    void Note(std::string line) { notes_.push_back(std::move(line)); }
    // The first refusal counts; at: the value or member name at fault.
    void Refuse(const Value& at, const std::string& why);
    bool Refused() const { return !refusal_.empty(); }
    const std::string& Refusal() const { return refusal_; }
    std::vector<std::string>& Notes() { return notes_; }

private:
    const JsonText& text_;
    std::vector<std::string> notes_;
    std::string refusal_;
};

// Where in the configuration a section is: "" for the top level, "Tls", "Gateways[2]".
struct Place {
    Reading& reading;
    std::string where;

    // "Gateways[2]: <line>", or "top level: <line>".
    void Note(const std::string& line) const;
    // "Gateways[2] \"ID\": <problem>" at the value, or "\"ID\": <problem>" at the top level.
    void Refuse(const Value& at, const char* key, const std::string& problem) const;
    // The place of an element or subsection: "Gateways[2]", "Gateways[2].Devices[0]".
    Place Inner(const std::string& name) const;
};

template <class S>
struct Key {
    const char* name = "";
    // The kind its value must have; null: any, the reader checks it.
    bool (Value::*fits)() const = nullptr;
    const char* kind = "";  // as a note names it: "true or false", "a string"
    WrongKind wrongKind = WrongKind::noted;
    Change change = Change::live;
    bool required = false;
    // Reads a value of the right kind into the section; problems go to the place.
    std::function<void(const Value& value, S& section, const Place& place)> read;
    // Writes the member (name and value) as a configuration text holds it, or nothing when
    // the section does not have it.
    std::function<void(const S& section, Writer& writer)> write;
    // Whether the restart-only parts under this key differ (the key itself, for a
    // restart-only key); what differs goes to changed, as "Tls \"Port\"".
    std::function<void(const S& now, const S& before, const std::string& where,
                       std::vector<std::string>& changed)>
        restartChanges;
    // Its lines in lockhub --check-config's description; none: it has none.
    std::function<void(const S& section, std::ostream& out)> describe;
};

// A key with its name, kind and policies; the rest is set by its builder.
template <class S>
Key<S> NewKey(const char* name, bool (Value::*fits)() const, const char* kind, WrongKind wrongKind,
              Change change, bool required = false) {
    Key<S> key;
    key.name = name;
    key.fits = fits;
    key.kind = kind;
    key.wrongKind = wrongKind;
    key.change = change;
    key.required = required;
    return key;
}

template <class S>
struct Section {
    using Check = std::function<void(const Value& object, S& section, const Place& place)>;
    Section(std::vector<Key<S>> keys, Check check = nullptr)
        : keys(std::move(keys)), check(std::move(check)) {}

    std::vector<Key<S>> keys;
    // Rules across keys, after they were read; none: no such rule.
    Check check;
};

// The key with its --check-config lines.
template <class S>
Key<S> Described(
    Key<S> key,
    std::type_identity_t<std::function<void(const S& section, std::ostream& out)>> describe) {
    key.describe = std::move(describe);
    return key;
}

template <class S>
void DescribeSection(const S& section, const Section<S>& table, std::ostream& out) {
    for (const Key<S>& key : table.keys) {
        if (key.describe) {
            key.describe(section, out);
        }
    }
}

// "\"text\"", as notes and refusals name keys.
std::string Quoted(const std::string& text);

namespace Detail {
void NoteUnknownAndRepeated(const Value& object, const std::vector<const char*>& names,
                            const Place& place);
}  // namespace Detail

// Reads object (a JSON object) by the section's table into target.
template <class S>
void ReadSection(const Value& object, const Section<S>& section, S& target, const Place& place) {
    std::vector<const char*> names;
    for (const Key<S>& key : section.keys) {
        names.push_back(key.name);
    }
    Detail::NoteUnknownAndRepeated(object, names, place);
    for (const Key<S>& key : section.keys) {
        Value::ConstMemberIterator member = object.FindMember(key.name);
        if (member == object.MemberEnd()) {
            if (key.required) {
                place.Refuse(object, key.name, "missing");
            }
            continue;
        }
        if (key.fits != nullptr && !(member->value.*key.fits)()) {
            if (key.wrongKind == WrongKind::refused) {
                place.Refuse(member->value, key.name, std::string("not ") + key.kind);
            } else {
                place.Note(Quoted(key.name) + " is not " + key.kind +
                           ": it is ignored and its default applies");
            }
            continue;
        }
        key.read(member->value, target, place);
    }
    if (section.check) {
        section.check(object, target, place);
    }
}

template <class S>
void WriteSection(const S& source, const Section<S>& section, Writer& writer) {
    writer.StartObject();
    for (const Key<S>& key : section.keys) {
        key.write(source, writer);
    }
    writer.EndObject();
}

template <class S>
void RestartChanges(const S& now, const S& before, const Section<S>& section,
                    const std::string& where, std::vector<std::string>& changed) {
    for (const Key<S>& key : section.keys) {
        if (key.restartChanges) {
            key.restartChanges(now, before, where, changed);
        }
    }
}

// Value writers for the row builders.
inline void WriteValue(Writer& writer, bool value) {
    writer.Bool(value);
}
inline void WriteValue(Writer& writer, int value) {
    writer.Int(value);
}
inline void WriteValue(Writer& writer, const std::string& value) {
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

// "a\"Key\"" as a change list names a key of a place.
std::string KeyAt(const std::string& where, const char* key);

// Reads a value of the right kind into a field; problems go to the place.
template <class T>
using ValueReader = std::type_identity_t<std::function<void(const Value&, T&, const Place&)>>;

// A key held in a field of the section: read by read (which may note or refuse), written
// as the field holds it; unset optionals are not written.
template <class S, class T>
Key<S> Field(const char* name, T S::*field, bool (Value::*fits)() const, const char* kind,
             WrongKind wrongKind, Change change, ValueReader<T> read) {
    Key<S> key = NewKey<S>(name, fits, kind, wrongKind, change);
    key.read = [field, read](const Value& value, S& section, const Place& place) {
        read(value, section.*field, place);
    };
    key.write = [name, field](const S& section, Writer& writer) {
        writer.Key(name);
        WriteValue(writer, section.*field);
    };
    if (change == Change::restart) {
        key.restartChanges = [name, field](const S& now, const S& before, const std::string& where,
                                           std::vector<std::string>& changed) {
            if (!(now.*field == before.*field)) {
                changed.push_back(KeyAt(where, name));
            }
        };
    }
    return key;
}

template <class S, class T>
Key<S> Field(const char* name, std::optional<T> S::*field, bool (Value::*fits)() const,
             const char* kind, WrongKind wrongKind, Change change, ValueReader<T> read) {
    Key<S> key = NewKey<S>(name, fits, kind, wrongKind, change);
    key.read = [field, read](const Value& value, S& section, const Place& place) {
        T target{};
        read(value, target, place);
        section.*field = std::move(target);
    };
    key.write = [name, field](const S& section, Writer& writer) {
        if (section.*field) {
            writer.Key(name);
            WriteValue(writer, *(section.*field));
        }
    };
    return key;
}

// The plain readers: the value as it is.
void ReadFlag(const Value& value, bool& target, const Place& place);
void ReadText(const Value& value, std::string& target, const Place& place);
// A text that is not empty and holds no NUL; else refused.
ValueReader<std::string> ReadNonEmptyText(const char* key);
// A number that fits a 32-bit signed integer; another number is refused.
ValueReader<int> ReadInteger(const char* key);

// A subsection in an optional field: present when the key is and, with usable, when
// usable says that what was read can be used; read by its own table.
template <class S, class T>
Key<S> Subsection(const char* name, std::optional<T> S::*field, const Section<T>& inner,
                  WrongKind wrongKind, Change change,
                  std::type_identity_t<std::function<bool(const T&)>> usable = nullptr) {
    Key<S> key = NewKey<S>(name, &Value::IsObject, "an object", wrongKind, change);
    key.read = [name, field, &inner, usable](const Value& value, S& section, const Place& place) {
        T target{};
        ReadSection(value, inner, target, place.Inner(name));
        if (!usable || usable(target)) {
            section.*field = std::move(target);
        }
    };
    key.write = [name, field, &inner](const S& section, Writer& writer) {
        if (section.*field) {
            writer.Key(name);
            WriteSection(*(section.*field), inner, writer);
        }
    };
    key.restartChanges = [name, field, &inner](const S& now, const S& before,
                                               const std::string& where,
                                               std::vector<std::string>& changed) {
        const std::optional<T>& a = now.*field;
        const std::optional<T>& b = before.*field;
        const std::string here = where.empty() ? name : where + "." + name;
        if (a && b) {
            RestartChanges(*a, *b, inner, here, changed);
        } else if (a.has_value() != b.has_value()) {
            // Added or removed: every restart-only key under it changes.
            for (const Key<T>& innerKey : inner.keys) {
                if (innerKey.change == Change::restart) {
                    changed.push_back(KeyAt(here, innerKey.name));
                }
            }
        }
    };
    return key;
}

namespace Detail {

// An array of objects, each read by the element table; an element that is not an object
// is refused. list: where the elements go; written only when written is true.
template <class S, class T>
Key<S> ListOf(const char* name, const Section<T>& element, WrongKind wrongKind, Change change,
              std::function<std::vector<T>&(S&)> list,
              std::function<const std::vector<T>*(const S&)> written) {
    Key<S> key = NewKey<S>(name, &Value::IsArray, "an array", wrongKind, change);
    key.read = [name, &element, list](const Value& value, S& section, const Place& place) {
        const std::string prefix = place.where.empty() ? name : place.where + "." + name;
        std::vector<T>& items = list(section);
        for (rapidjson::SizeType i = 0; i < value.Size(); ++i) {
            const Place inner{place.reading, prefix + "[" + std::to_string(i) + "]"};
            if (!value[i].IsObject()) {
                inner.reading.Refuse(value[i], inner.where + " is not an object");
                return;
            }
            T target{};
            ReadSection(value[i], element, target, inner);
            items.push_back(std::move(target));
        }
    };
    key.write = [name, &element, written](const S& section, Writer& writer) {
        const std::vector<T>* items = written(section);
        if (items == nullptr) {
            return;
        }
        writer.Key(name);
        writer.StartArray();
        for (const T& item : *items) {
            WriteSection(item, element, writer);
        }
        writer.EndArray();
    };
    return key;
}

}  // namespace Detail

// An array of objects in a vector field.
template <class S, class T>
Key<S> List(const char* name, std::vector<T> S::*field, const Section<T>& element,
            WrongKind wrongKind, Change change) {
    return Detail::ListOf<S, T>(
        name, element, wrongKind, change, [field](S& s) -> std::vector<T>& { return s.*field; },
        [field](const S& s) { return &(s.*field); });
}

// The same in an optional field: present when the key is.
template <class S, class T>
Key<S> List(const char* name, std::optional<std::vector<T>> S::*field, const Section<T>& element,
            WrongKind wrongKind, Change change) {
    return Detail::ListOf<S, T>(
        name, element, wrongKind, change,
        [field](S& s) -> std::vector<T>& { return (s.*field).emplace(); },
        [field](const S& s) { return (s.*field) ? &*(s.*field) : nullptr; });
}

}  // namespace Config
