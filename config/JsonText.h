#pragma once
// A JSON text parsed once, strictly (no comments, nothing after the value), with where each
// value and each member name starts in the text: a reader of the document can then name the
// line and column of what it finds wrong. Parsing is iterative, so that no depth of nesting
// exhausts the stack.
//
// A value type: built and read on one thread. The document and its positions live as long
// as the JsonText; a JsonText is not moved once parsed (positions are keyed by address).

#include <rapidjson/document.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Config {

class JsonText {
public:
    explicit JsonText(std::string_view text);
    JsonText(const JsonText&) = delete;
    JsonText& operator=(const JsonText&) = delete;

    bool Parsed() const { return error_.empty(); }
    // "line L, column C: <what is wrong>" when the text is not JSON; else empty.
    const std::string& Error() const { return error_; }
    const rapidjson::Value& Root() const { return document_; }
    // "line L, column C" of a value or member name of Root(); "" for one it does not hold.
    std::string Position(const rapidjson::Value& value) const;

private:
    // Line and column (from 1) of a byte offset of the text.
    std::string PositionOf(size_t offset) const;
    void IndexPositions(const std::vector<size_t>& valueStarts,
                        const std::vector<size_t>& nameStarts);

    rapidjson::Document document_;
    std::string error_;
    std::vector<size_t> lineStarts_;
    std::unordered_map<const rapidjson::Value*, size_t> starts_;
};

}  // namespace Config
