#include "OrvaneMac/session/AppCatalog.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace orvane {

namespace {

// GLib's text functions need valid UTF-8; a broken byte becomes U+FFFD.
std::string validUtf8(std::string_view text) {
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string result(valid);
  g_free(valid);
  return result;
}

std::string lowercased(const std::string& text) {
  gchar* lower = g_utf8_strdown(text.c_str(), static_cast<gssize>(text.size()));
  std::string result(lower);
  g_free(lower);
  return result;
}

// The key the sort compares: case folded, then collated by the user's locale.
std::string sortKey(const std::string& name) {
  gchar* folded = g_utf8_casefold(name.c_str(), static_cast<gssize>(name.size()));
  gchar* key = g_utf8_collate_key(folded, -1);
  std::string result(key);
  g_free(key);
  g_free(folded);
  return result;
}

// Strips white space and line breaks, Unicode ones included, from both ends.
std::string_view trimmed(std::string_view text) {
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  while (begin < end && g_unichar_isspace(g_utf8_get_char(begin))) begin = g_utf8_next_char(begin);
  while (begin < end) {
    const char* last = g_utf8_find_prev_char(begin, end);
    if (last == nullptr || !g_unichar_isspace(g_utf8_get_char(last))) break;
    end = last;
  }
  return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

std::string joinedPrefix(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory + "/applications/";
}

}  // namespace

std::vector<std::string> AppCatalog::xdgApplicationPrefixes(const EnvironmentLookup& environment) {
  std::vector<std::string> prefixes;
  auto add = [&](std::string directory) {
    if (directory.empty() || directory.front() != '/') return;
    std::string prefix = joinedPrefix(std::move(directory));
    if (std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end()) prefixes.push_back(std::move(prefix));
  };

  std::optional<std::string> dataHome = environment("XDG_DATA_HOME");
  if (!dataHome || dataHome->empty() || dataHome->front() != '/') {
    dataHome.reset();
    if (auto home = environment("HOME")) dataHome = *home + "/.local/share";
  }
  if (dataHome) add(*dataHome);
  std::string dataDirs = environment("XDG_DATA_DIRS").value_or("/usr/local/share/:/usr/share/");
  std::size_t start = 0;
  while (start <= dataDirs.size()) {
    std::size_t colon = dataDirs.find(':', start);
    if (colon == std::string::npos) colon = dataDirs.size();
    add(dataDirs.substr(start, colon - start));
    start = colon + 1;
  }
  // Where Flatpak and Snap export their applications' entries. Their profile
  // scripts add these to XDG_DATA_DIRS, but a host started outside a login
  // shell may not have them there while GIO still finds the entries.
  if (dataHome) {
    while (dataHome->size() > 1 && dataHome->back() == '/') dataHome->pop_back();
    add(*dataHome + "/flatpak/exports/share");
  }
  add("/var/lib/flatpak/exports/share");
  add("/var/lib/snapd/desktop");
  return prefixes;
}

AppCatalog::AppCatalog(ApplicationIndex& index, std::vector<std::string> pathPrefixes, LogSink& logSink)
    : index_(index), pathPrefixes_(std::move(pathPrefixes)), console_(logSink) {}

void AppCatalog::ensureLoaded() {
  if (isLoaded_ || query_) return;
  // The query is owned here, so destroying the catalog stops it and its
  // handler never runs on a catalog that is gone.
  auto query = index_.startApplicationQuery(
      [this](std::vector<ApplicationIndexItem> results) { finishGathering(std::move(results)); });
  if (!isLoaded_) query_ = std::move(query);  // an index that answered at once is done already
}

void AppCatalog::finishGathering(std::vector<ApplicationIndexItem> results) {
  struct Loaded {
    Entry entry;
    std::string sortKey;
  };
  std::vector<Loaded> loaded;
  std::set<std::string, std::less<>> seen;
  for (auto& item : results) {
    if (!item.path) continue;
    const std::string& path = *item.path;
    const bool userFacing = std::any_of(pathPrefixes_.begin(), pathPrefixes_.end(),
                                        [&](const std::string& prefix) { return path.starts_with(prefix); });
    if (!userFacing) continue;
    if (!item.displayName) continue;
    std::string name = validUtf8(*item.displayName);
    if (name.ends_with(".app")) name.resize(name.size() - 4);
    std::string key = lowercased(name);
    if (!seen.insert(key).second) continue;
    std::string collation = sortKey(name);
    loaded.push_back(Loaded{Entry{std::move(name), std::move(key), path}, std::move(collation)});
  }
  std::stable_sort(loaded.begin(), loaded.end(), [](const Loaded& a, const Loaded& b) {
    return std::strcmp(a.sortKey.c_str(), b.sortKey.c_str()) < 0;
  });
  apps_.clear();
  apps_.reserve(loaded.size());
  for (auto& l : loaded) apps_.push_back(std::move(l.entry));

  isLoaded_ = true;
  query_.reset();  // stops the query; the handler running now is kept by its caller
  console_.print("[AppCatalog] loaded " + std::to_string(apps_.size()) + " user-facing apps");
}

const AppCatalog::Entry* AppCatalog::find(std::string_view name) const {
  const std::string key = lowercased(validUtf8(name));
  auto it = std::find_if(apps_.begin(), apps_.end(), [&](const Entry& entry) { return entry.key == key; });
  return it == apps_.end() ? nullptr : &*it;
}

std::vector<std::string> AppCatalog::search(std::string_view text, std::int64_t limit) const {
  const std::string q = lowercased(std::string(trimmed(validUtf8(text))));
  if (q.empty() || limit <= 0) return {};
  std::vector<std::string> names;
  const auto wanted = static_cast<std::size_t>(limit);
  for (const Entry& entry : apps_) {
    if (names.size() == wanted) return names;
    if (entry.key.starts_with(q)) names.push_back(entry.name);
  }
  for (const Entry& entry : apps_) {
    if (names.size() == wanted) return names;
    if (!entry.key.starts_with(q) && entry.key.find(q) != std::string::npos) names.push_back(entry.name);
  }
  return names;
}

}  // namespace orvane
