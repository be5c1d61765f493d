#pragma once
#include <string>
#include <utility>
#include <vector>

namespace quenza {

// The built-in presets: name and option text (key=value lines), in table order.
const std::vector<std::pair<std::string, std::string>>& BuiltinPresets();

// The text of the built-in preset whose name matches ignoring case, or null.
const std::string* FindBuiltinPreset(const std::string& name);

}  // namespace quenza
