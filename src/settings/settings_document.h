// Parsing and element look-up shared by the settings store and the capability probe, so
// that both accept and reject exactly the same files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace settings_detail {

// True for a non-empty name without '/': settings files are named, never addressed by
// path, so a name cannot reach outside the executable's folder.
bool IsPlainFileName(const char* name);

// Parses the file at path into doc (UTF-8 in memory, whatever the file's encoding). False,
// with doc emptied, when the file cannot be read or is not one well-formed document: parse
// errors, no root element or more than one, text outside the root element, an attribute
// given twice on one element.
bool ParseSettingsFile(const std::string& path, pugi::xml_document& doc);

// The first element, in document order, that the slash-separated path of element names
// selects from start (each segment one level of children; names are case-sensitive). An
// empty path or an empty segment selects nothing. Empty handle when nothing matches.
pugi::xml_node FindFirstElement(const pugi::xml_node& start, std::string_view path);

// Number of parses started in this process; lets tests see that a file was turned down
// before it reached the parser.
std::uint64_t ParseAttempts();

}  // namespace settings_detail
