// Receives files the phone pushes onto this computer: FILE_TRANSFER_START names
// the file and its size, FILE_TRANSFER_CHUNKs carry the bytes, FILE_TRANSFER_END
// closes it. One per connection, used from that connection's thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "infra/LogLimiter.h"
#include "protocol/DesktopFolder.h"

namespace vandrel {

/// How a transport words a file transfer's lines.
struct FileReceiverStyle {
  const char* tag = "[CONNECTION] ";
  /// Counts the chunks and logs each one instead of every 512 KiB.
  bool countChunks = false;
  const char* abortLine = "[CONNECTION] Closed file transfer due to connection close";
};

class FileReceiver {
 public:
  /// Returns the folder (UTF-8) a new file goes into; asked once per START.
  using FolderProvider = std::function<std::string()>;

  using Style = FileReceiverStyle;
  static Style BleStyle() { return {"[BLE] ", true, "[BLE] Closed file transfer due to central disconnect"}; }

  explicit FileReceiver(FolderProvider folderProvider = GetDesktopFolder, Style style = {});
  /// Closes a file still open, without logging; what arrived so far stays.
  ~FileReceiver();
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  // Each takes the whole packet, command byte included. Malformed packets are
  // ignored; nothing here throws on bad input.

  /// Starts writing a new file into the folder; a name already taken there
  /// becomes the next free "name (N).ext". Only the last path component of the sent name is used, so a phone
  /// cannot write outside the folder; names that leave nothing usable are
  /// refused. A transfer still running is first ended as incomplete.
  void HandleStart(std::span<const std::uint8_t> packet);
  /// Appends the chunk's bytes to the open file. A failed write ends the
  /// transfer, keeping what was written.
  void HandleChunk(std::span<const std::uint8_t> packet);
  /// Closes the file and logs whether all announced bytes arrived.
  void HandleEnd();
  /// The connection closed mid-transfer: closes the file, keeping the part received.
  void Abort();

  bool Active() const { return file_ != nullptr; }

 private:
  /// Closes the file and logs the outcome, as FILE_TRANSFER_END does.
  void Finish();
  /// Closes the file without any log line and forgets the transfer.
  bool CloseFile();

  FolderProvider folderProvider_;
  Style style_;
  std::uint32_t chunks_ = 0;
  LogLimiter chunkLines_{5};
  std::FILE* file_ = nullptr;
  std::string name_;  // as stored on disk, after cleaning and numbering
  std::uint64_t expected_ = 0;
  std::uint64_t received_ = 0;
  // Stray packets arrive at the peer's will; so would their lines.
  LogLimiter strayChunks_;
  LogLimiter strayEnds_;
};

}  // namespace vandrel
