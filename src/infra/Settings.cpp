#include "infra/Settings.h"

#include "infra/Logger.h"
#include "infra/Platform.h"

namespace vandrel {

Settings::Settings() : Settings(&DefaultSettingsFilePath, MakeAutoStart()) {}

Settings::Settings(PathProvider filePath, std::shared_ptr<AutoStart> autoStart)
    : filePath_(std::move(filePath)), autoStart_(std::move(autoStart)) {
  Load();
}

Settings::~Settings() {
  try {
    Save();
  } catch (const std::exception&) {
    // A destructor must not throw; the line is the one every failed save writes.
    Log() << "[SETTINGS] Failed to save settings";
  }
}

void Settings::Parse(std::string_view text) {
  std::lock_guard lock(mutex_);
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    // Every carriage return ending a line is part of the line end: a value
    // ending in one could not be written back as it was read.
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const auto eq = line.find('=');
    // An empty value never changes a setting.
    if (line.empty() || eq == std::string_view::npos || eq + 1 == line.size()) continue;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "RunAtStartup") runAtStartup_ = value == "true";
    else if (key == "MinimizeToTray") minimizeToTray_ = value == "true";
    else if (key == "ConnectionPassword") connectionPassword_ = std::string(value);
  }
}

std::string Settings::Serialize(std::string_view lineEnd) const {
  std::lock_guard lock(mutex_);
  std::string text;
  text.append("RunAtStartup=").append(runAtStartup_ ? "true" : "false").append(lineEnd);
  text.append("MinimizeToTray=").append(minimizeToTray_ ? "true" : "false").append(lineEnd);
  text.append("ConnectionPassword=").append(connectionPassword_).append(lineEnd);
  return text;
}

void Settings::Load() {
  const auto text = platform::ReadWholeFile(filePath_());
  if (!text) {
    Log() << "[SETTINGS] Settings file not found, using defaults";
    return;
  }
  Parse(*text);
}

void Settings::Save() {
  // The file holds the password in clear text: keep it private to its owner.
  if (!platform::WriteFileAtomically(filePath_(), Serialize(platform::NativeLineEnd()), true)) {
    Log() << "[SETTINGS] Failed to save settings";
  }
}

void Settings::SetRunAtStartup(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    runAtStartup_ = enabled;
  }
  Save();
  if (!autoStart_) return;
  if (enabled) {
    if (auto exe = platform::ExecutablePath()) autoStart_->Register(*exe);
  } else {
    autoStart_->Unregister();
  }
}

void Settings::SetMinimizeToTray(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    minimizeToTray_ = enabled;
  }
  Save();
}

void Settings::SetConnectionPassword(std::string password) {
  {
    std::lock_guard lock(mutex_);
    connectionPassword_ = std::move(password);
  }
  Save();
}

bool Settings::GetRunAtStartup() const {
  std::lock_guard lock(mutex_);
  return runAtStartup_;
}

bool Settings::GetMinimizeToTray() const {
  std::lock_guard lock(mutex_);
  return minimizeToTray_;
}

bool Settings::HasConnectionPassword() const {
  std::lock_guard lock(mutex_);
  return !connectionPassword_.empty();
}

std::string Settings::GetConnectionPassword() const {
  std::lock_guard lock(mutex_);
  return connectionPassword_;
}

bool Settings::IsRunAtStartupRegistered() const { return autoStart_ && autoStart_->IsRegistered(); }

std::string DefaultSettingsFilePath() { return platform::SettingsFilePath(); }

}  // namespace vandrel
