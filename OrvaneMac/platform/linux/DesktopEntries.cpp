#include "OrvaneMac/platform/linux/DesktopEntries.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>
#include <utility>

namespace orvane {

namespace {

// The kernel keeps process names to 15 bytes (TASK_COMM_LEN less the NUL).
constexpr std::size_t kProcessNameLength = 15;

std::string lowercased(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = g_ascii_tolower(c);
  return lower;
}

std::string withoutDesktopSuffix(std::string_view id) {
  constexpr std::string_view kSuffix = ".desktop";
  if (id.ends_with(kSuffix)) id.remove_suffix(kSuffix.size());
  return std::string(id);
}

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

}  // namespace

std::string executableOfCommandLine(std::string_view commandLine) {
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(std::string(commandLine).c_str(), nullptr, &argv, nullptr)) return {};
  std::string program;
  for (gchar** word = argv; *word; ++word) {
    const std::string_view w(*word);
    if (w == "env" || w.find('=') != std::string_view::npos) continue;
    gchar* base = g_path_get_basename(*word);
    program = base;
    g_free(base);
    break;
  }
  g_strfreev(argv);
  return program;
}

std::shared_ptr<const DesktopEntries> DesktopEntries::load() {
  std::vector<Record> records;
  GList* all = g_app_info_get_all();
  for (GList* item = all; item; item = item->next) {
    if (!G_IS_DESKTOP_APP_INFO(item->data)) continue;
    auto* info = G_DESKTOP_APP_INFO(item->data);
    auto* appInfo = G_APP_INFO(info);
    Record record;
    record.entry.id = text(g_app_info_get_id(appInfo));
    record.entry.name = text(g_app_info_get_name(appInfo));
    record.entry.path = text(g_desktop_app_info_get_filename(info));
    record.startupWMClass = text(g_desktop_app_info_get_startup_wm_class(info));
    record.executable = executableOfCommandLine(text(g_app_info_get_commandline(appInfo)));
    record.shown = g_app_info_should_show(appInfo);
    records.push_back(std::move(record));
  }
  g_list_free_full(all, g_object_unref);
  return std::make_shared<const DesktopEntries>(std::move(records));
}

DesktopEntries::DesktopEntries(std::vector<Record> records) : records_(std::move(records)) {
  std::stable_partition(records_.begin(), records_.end(), [](const Record& r) { return r.shown; });
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const Record& r = records_[i];
    // emplace keeps the first entry of each key.
    if (!r.startupWMClass.empty()) byWMClass_.emplace(lowercased(r.startupWMClass), i);
    if (!r.entry.id.empty()) byId_.emplace(lowercased(withoutDesktopSuffix(r.entry.id)), i);
    if (!r.executable.empty()) byExecutable_.emplace(lowercased(r.executable), i);
  }
}

const DesktopEntry* DesktopEntries::find(const Index& index, std::string_view key) const {
  if (key.empty()) return nullptr;
  auto it = index.find(lowercased(key));
  return it == index.end() ? nullptr : &records_[it->second].entry;
}

const DesktopEntry* DesktopEntries::forWindowClass(std::string_view resClass, std::string_view resInstance) const {
  if (const DesktopEntry* entry = find(byWMClass_, resClass)) return entry;
  for (std::string_view name : {resClass, resInstance}) {
    if (const DesktopEntry* entry = find(byId_, name)) return entry;
    if (const DesktopEntry* entry = find(byExecutable_, name)) return entry;
  }
  return nullptr;
}

const DesktopEntry* DesktopEntries::forExecutable(std::string_view name) const {
  if (const DesktopEntry* entry = find(byExecutable_, name)) return entry;
  if (const DesktopEntry* entry = find(byId_, name)) return entry;
  if (name.size() != kProcessNameLength) return nullptr;
  const std::string prefix = lowercased(name);
  // The map is sorted: a name that starts with `prefix` follows it directly.
  auto it = byExecutable_.lower_bound(prefix);
  return it != byExecutable_.end() && it->first.starts_with(prefix) ? &records_[it->second].entry : nullptr;
}

}  // namespace orvane
