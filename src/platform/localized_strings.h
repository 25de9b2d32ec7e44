#pragma once

// Texts a bundle may translate: a strings table is the file "<table>.strings" in
// a bundle folder, a property list (XML or binary) whose dictionary maps keys to
// texts. The default table is "Localizable".

#include <filesystem>
#include <string>
#include <string_view>

namespace strombel::platform {

class MainBundle;

/// The text for `key` in the table `table` (the default one when empty) of the
/// bundle folder `bundle`; when the table or the key is missing, `value`, or the
/// key itself when `value` is empty. Tables are read once per process and kept;
/// any thread may ask.
std::string localizedString(const std::filesystem::path& bundle, std::string_view key, std::string_view value = {},
                            std::string_view table = {});

/// The same for the main bundle's folder.
std::string localizedString(const MainBundle& bundle, std::string_view key, std::string_view value = {},
                            std::string_view table = {});

}  // namespace strombel::platform
