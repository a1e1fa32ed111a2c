#include "settings/settings_document.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace settings_detail {
namespace {

std::atomic<std::uint64_t> parseAttempts{0};

// pugixml accepts a few things a conforming parser refuses; the store must not answer
// from a file that another XML reader would reject.
bool HasSingleRootAndNoStrayText(const pugi::xml_document& doc) {
  int elements = 0;
  for (pugi::xml_node child = doc.first_child(); child; child = child.next_sibling()) {
    switch (child.type()) {
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        return false;
      default:
        break;
    }
  }
  return elements == 1;
}

bool HasDuplicateAttribute(const pugi::xml_node& element, std::vector<std::string_view>& names) {
  names.clear();
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    names.emplace_back(a.name());
  }
  if (names.size() < 2) return false;
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

// Iterative walk: nesting depth comes from the file and must not cost stack.
bool AllElementsHaveUniqueAttributes(const pugi::xml_document& doc) {
  std::vector<std::string_view> names;
  pugi::xml_node node = doc.first_child();
  while (node) {
    if (node.type() == pugi::node_element && HasDuplicateAttribute(node, names)) return false;
    if (pugi::xml_node child = node.first_child()) {
      node = child;
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      if (node == doc) return true;
    }
    if (node) node = node.next_sibling();
  }
  return true;
}

// Depth-first over the matching children in order, so the first hit is the first match
// in document order even when an earlier branch of the same names is a dead end.
pugi::xml_node FindFrom(const pugi::xml_node& parent, const std::vector<std::string_view>& segments,
                        std::size_t index) {
  if (index == segments.size()) return parent;
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element || segments[index] != child.name()) continue;
    if (pugi::xml_node found = FindFrom(child, segments, index + 1)) return found;
  }
  return {};
}

}  // namespace

bool IsPlainFileName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  return std::string_view(name).find('/') == std::string_view::npos;
}

bool ParseSettingsFile(const std::string& path, pugi::xml_document& doc) {
  parseAttempts.fetch_add(1, std::memory_order_relaxed);
  // Fragment mode keeps text outside the root visible, so it can be refused below.
  const unsigned options = pugi::parse_default | pugi::parse_fragment;
  const pugi::xml_parse_result result = doc.load_file(path.c_str(), options, pugi::encoding_auto);
  if (!result || !HasSingleRootAndNoStrayText(doc) || !AllElementsHaveUniqueAttributes(doc)) {
    doc.reset();
    return false;
  }
  return true;
}

pugi::xml_node FindFirstElement(const pugi::xml_node& start, std::string_view path) {
  if (path.empty()) return {};
  std::vector<std::string_view> segments;
  std::size_t begin = 0;
  while (true) {
    const std::size_t slash = path.find('/', begin);
    const std::string_view segment = path.substr(begin, slash == std::string_view::npos ? slash : slash - begin);
    if (segment.empty()) return {};
    segments.push_back(segment);
    if (slash == std::string_view::npos) break;
    begin = slash + 1;
  }
  return FindFrom(start, segments, 0);
}

std::uint64_t ParseAttempts() { return parseAttempts.load(std::memory_order_relaxed); }

}  // namespace settings_detail
