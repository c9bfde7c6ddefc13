#pragma once
// The client's side of the stream: lockhub sends a client the bare JSON text of one
// message after another, with no length or separator between them.

#include <cstddef>
#include <string_view>

namespace Mux {

// The length of the first whole JSON object at the start of text (which starts with "{"),
// or 0 while it is incomplete. Braces inside strings do not count.
size_t CompleteObjectLength(std::string_view text);

}  // namespace Mux
