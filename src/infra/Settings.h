// The three user preferences, kept in settings.ini.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "infra/AutoStart.h"

namespace vandrel {

class Settings {
 public:
  using PathProvider = std::function<std::string()>;

  /// The platform's settings file and start-up entry.
  Settings();
  /// `filePath` is asked afresh for every load and save.
  Settings(PathProvider filePath, std::shared_ptr<AutoStart> autoStart);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  void Load();
  void Save();

  void SetRunAtStartup(bool enabled);
  void SetMinimizeToTray(bool enabled);
  void SetConnectionPassword(std::string password);

  bool GetRunAtStartup() const;
  bool GetMinimizeToTray() const;
  /// A copy, safe to take from any thread while the window replaces the password.
  std::string GetConnectionPassword() const;
  /// Whether a password is set, without copying it (asked for every input datagram).
  bool HasConnectionPassword() const;
  bool IsRunAtStartupRegistered() const;

  /// The file text for the current values, lines ending in `lineEnd`.
  std::string Serialize(std::string_view lineEnd) const;
  /// Applies the key=value lines of `text` over the current values.
  void Parse(std::string_view text);

 private:
  PathProvider filePath_;
  std::shared_ptr<AutoStart> autoStart_;
  mutable std::mutex mutex_;
  bool runAtStartup_ = false;
  bool minimizeToTray_ = true;
  std::string connectionPassword_;
};

/// Where settings.ini lives on this platform.
std::string DefaultSettingsFilePath();

}  // namespace vandrel
