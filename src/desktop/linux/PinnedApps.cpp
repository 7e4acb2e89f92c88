#include "desktop/linux/PinnedApps.h"

#include <gio/gio.h>

#include <memory>
#include <optional>

#include "desktop/linux/DesktopEntry.h"
#include "infra/Logger.h"

namespace vandrel::desktop::linux_desktop {

namespace {

constexpr const char* kShellSchema = "org.gnome.shell";
constexpr const char* kFavouritesKey = "favorite-apps";

struct SchemaUnref {
  void operator()(GSettingsSchema* p) const { g_settings_schema_unref(p); }
};
struct SchemaKeyUnref {
  void operator()(GSettingsSchemaKey* p) const { g_settings_schema_key_unref(p); }
};
struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
struct StrvFree {
  void operator()(gchar** p) const { g_strfreev(p); }
};

// nullopt when the desktop has no such setting. g_settings_new on a schema
// that is not installed aborts the process, and g_settings_get_strv on a key
// of another type does too, so both are checked before any GSettings exists.
std::optional<std::vector<std::string>> ReadFavouriteIds() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();  // not ours to unref
  if (!source) return std::nullopt;
  std::unique_ptr<GSettingsSchema, SchemaUnref> schema(g_settings_schema_source_lookup(source, kShellSchema, TRUE));
  if (!schema || !g_settings_schema_has_key(schema.get(), kFavouritesKey)) return std::nullopt;
  {
    std::unique_ptr<GSettingsSchemaKey, SchemaKeyUnref> key(g_settings_schema_get_key(schema.get(), kFavouritesKey));
    if (!g_variant_type_equal(g_settings_schema_key_get_value_type(key.get()), G_VARIANT_TYPE_STRING_ARRAY)) {
      return std::nullopt;
    }
  }
  // A GSettings of its own per call: the object is bound to the thread that
  // made it, and a plain read needs no main loop.
  std::unique_ptr<GSettings, ObjectUnref> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
  if (!settings) return std::nullopt;
  std::unique_ptr<gchar*, StrvFree> ids(g_settings_get_strv(settings.get(), kFavouritesKey));
  std::vector<std::string> out;
  for (gchar** id = ids.get(); id && *id; ++id) {
    if (out.size() == kMaxFavourites) {
      Log() << "[AppList] Only the first " << kMaxFavourites << " favourites are read";
      break;
    }
    out.emplace_back(*id);
  }
  return out;
}

std::string FileName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<AppInfo> ResolvePinned(const std::string& id, const XdgDirs& dirs) {
  const std::string file = FindDesktopFile(id, dirs);
  const std::optional<DesktopEntry> entry = file.empty() ? std::nullopt : ReadDesktopEntry(file);
  if (!entry) {
    Log() << "[AppList] Pinned app \"" << id << "\" skipped: no desktop file";
    return std::nullopt;
  }
  // NoDisplay entries stay: the user pinned them on purpose.
  if (entry->IsTrue("Hidden") || entry->Get("Type") != "Application") {
    Log() << "[AppList] Pinned app \"" << id << "\" skipped: hidden or not an application";
    return std::nullopt;
  }
  const std::string program = FindProgram(EntryProgram(*entry), dirs);
  if (program.empty()) {
    Log() << "[AppList] Pinned app \"" << id << "\" skipped: program not found";
    return std::nullopt;
  }
  AppInfo app;
  app.process = FileName(program);
  app.name = ProgramDisplayName(app.process);
  app.icon = LoadIcon(entry->Get("Icon"), dirs);
  app.hwnd = 0;
  app.running = false;
  app.path = program;
  Log() << "[AppList] Pinned (favourite): name=\"" << app.name << "\", process=\"" << app.process
        << "\", iconSize=" << app.icon.size() << " bytes";
  return app;
}

}  // namespace

std::string ProgramDisplayName(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot == std::string::npos || dot == 0) return fileName;
  return fileName.substr(0, dot);
}

std::vector<AppInfo> PinnedAppsFromIds(const std::vector<std::string>& ids, const XdgDirs& dirs) {
  std::vector<AppInfo> apps;
  for (const std::string& id : ids) {
    if (auto app = ResolvePinned(id, dirs)) apps.push_back(std::move(*app));
  }
  return apps;
}

std::vector<AppInfo> PinnedApps() {
  const std::optional<std::vector<std::string>> ids = ReadFavouriteIds();
  if (!ids) {
    Log() << "[AppList] No favourites on this desktop (no org.gnome.shell settings): no pinned apps";
    return {};
  }
  std::vector<AppInfo> apps = PinnedAppsFromIds(*ids, XdgDirs::FromEnvironment());
  Log() << "[AppList] Found " << apps.size() << " pinned items from favourites";
  return apps;
}

}  // namespace vandrel::desktop::linux_desktop
