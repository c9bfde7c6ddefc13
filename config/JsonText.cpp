#include "config/JsonText.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>

namespace Config {
namespace {

using rapidjson::SizeType;
using rapidjson::Value;

// Hands every event on to the document and notes where each token starts: after the end
// of the previous token, past blanks, commas and colons.
template <class Stream>
class PositionRecorder {
public:
    PositionRecorder(rapidjson::Document& document, const Stream& stream, std::string_view text,
                     std::vector<size_t>& valueStarts, std::vector<size_t>& nameStarts)
        : document_(document),
          stream_(stream),
          text_(text),
          valueStarts_(valueStarts),
          nameStarts_(nameStarts) {}

    bool Null() { return Value() && document_.Null(); }
    bool Bool(bool b) { return Value() && document_.Bool(b); }
    bool Int(int i) { return Value() && document_.Int(i); }
    bool Uint(unsigned u) { return Value() && document_.Uint(u); }
    bool Int64(int64_t i) { return Value() && document_.Int64(i); }
    bool Uint64(uint64_t u) { return Value() && document_.Uint64(u); }
    bool Double(double d) { return Value() && document_.Double(d); }
    bool RawNumber(const char* s, SizeType length, bool copy) {
        return Value() && document_.RawNumber(s, length, copy);
    }
    bool String(const char* s, SizeType length, bool copy) {
        return Value() && document_.String(s, length, copy);
    }
    bool StartObject() { return Value() && document_.StartObject(); }
    bool Key(const char* s, SizeType length, bool copy) {
        nameStarts_.push_back(TokenStart());
        return document_.Key(s, length, copy);
    }
    bool EndObject(SizeType count) {
        TokenStart();
        return document_.EndObject(count);
    }
    bool StartArray() { return Value() && document_.StartArray(); }
    bool EndArray(SizeType count) {
        TokenStart();
        return document_.EndArray(count);
    }

private:
    bool Value() {
        valueStarts_.push_back(TokenStart());
        return true;
    }
    size_t TokenStart() {
        size_t start = std::min(cursor_, text_.size());
        while (start < text_.size() &&
               std::string_view(" \t\r\n,:").find(text_[start]) != std::string_view::npos) {
            ++start;
        }
        cursor_ = std::max(stream_.Tell(), start + 1);
        return start;
    }

    rapidjson::Document& document_;
    const Stream& stream_;
    std::string_view text_;
    std::vector<size_t>& valueStarts_;
    std::vector<size_t>& nameStarts_;
    size_t cursor_ = 0;
};

}  // namespace

JsonText::JsonText(std::string_view text) {
    lineStarts_.push_back(0);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lineStarts_.push_back(i + 1);
        }
    }
    using Stream = rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream>;
    rapidjson::MemoryStream memory(text.data(), text.size());
    Stream stream(memory);
    std::vector<size_t> valueStarts;
    std::vector<size_t> nameStarts;
    rapidjson::ParseResult result;
    auto generate = [&](rapidjson::Document& document) {
        PositionRecorder<Stream> recorder(document, stream, text, valueStarts, nameStarts);
        rapidjson::Reader reader;
        result = reader.Parse<rapidjson::kParseIterativeFlag>(stream, recorder);
        return !result.IsError();
    };
    document_.Populate(generate);
    if (result.IsError()) {
        error_ = PositionOf(std::min(result.Offset(), text.size())) + ": " +
                 rapidjson::GetParseError_En(result.Code());
        document_.SetNull();
        return;
    }
    IndexPositions(valueStarts, nameStarts);
}

void JsonText::IndexPositions(const std::vector<size_t>& valueStarts,
                              const std::vector<size_t>& nameStarts) {
    // The parser met the values, and the member names, in the order a walk of the
    // document in text order meets them: the walk pairs each with its start. Iterative,
    // like the parse.
    size_t nextValue = 0;
    size_t nextName = 0;
    struct Visit {
        const Value* value;
        bool name;
    };
    std::vector<Visit> stack{{&document_, false}};
    starts_.reserve(valueStarts.size() + nameStarts.size());
    while (!stack.empty()) {
        const Visit visit = stack.back();
        stack.pop_back();
        const std::vector<size_t>& starts = visit.name ? nameStarts : valueStarts;
        size_t& next = visit.name ? nextName : nextValue;
        if (next < starts.size()) {
            starts_[visit.value] = starts[next];
        }
        ++next;
        const Value& value = *visit.value;
        if (value.IsObject()) {
            for (auto member = value.MemberEnd(); member != value.MemberBegin();) {
                --member;
                stack.push_back({&member->value, false});
                stack.push_back({&member->name, true});
            }
        } else if (value.IsArray()) {
            for (auto element = value.End(); element != value.Begin();) {
                --element;
                stack.push_back({element, false});
            }
        }
    }
}

std::string JsonText::Position(const Value& value) const {
    auto found = starts_.find(&value);
    return found == starts_.end() ? "" : PositionOf(found->second);
}

std::string JsonText::PositionOf(size_t offset) const {
    auto line = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset) - 1;
    return "line " + std::to_string(line - lineStarts_.begin() + 1) + ", column " +
           std::to_string(offset - *line + 1);
}

}  // namespace Config
