#pragma once
// A registry script applied to a Registry, as an import applies it.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "registry/script/reg_script.h"
#include "registry/registry.h"
#include "registry/root_keys.h"

namespace keyscour {

// Where a script's full key name leads; nothing for a key it may not touch.
using KeyPlacer = std::function<std::optional<KeyPlace>(const std::wstring& fullKey)>;

// Reads the whole script first and refuses it (RegScriptError) when it is
// not a script, when a line of an exact script cannot be read, or when a
// key names one that place refuses, so that a refused script changes
// nothing; lines Windows skips are told to reading.skipped, once. Then applies it: [key] creates the key, [-key]
// removes it with everything below it, "name"=-" removes a value. A call
// that fails throws RegScriptError with its line.
// beforeChanges, when given, runs between the check and the first change:
// what must be done first, once the script is known to read.
void ApplyRegScript(std::wstring_view text, Registry& registry, const KeyPlacer& place,
                    const RegScriptReading& reading = {}, const std::function<void()>& beforeChanges = {});

}  // namespace keyscour
