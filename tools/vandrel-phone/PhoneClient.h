// The phone's end of the link: connects over TCP, sends the device hello,
// answers the password challenge and exchanges packets. Every wait ends at a
// deadline, so a silent or stalled PC never hangs the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>

#include "vandrel-phone/FileSource.h"
#include "protocol/Packet.h"

namespace vandrel::phone {

using Seconds = std::chrono::duration<double>;

enum class ErrorKind {
  Refused,   // nothing listens at the address
  Resolve,   // the host name has no address
  TimedOut,  // the PC did not answer or take data in time
  Closed,    // the PC ended the connection
  File,      // the local file is missing or unreadable
  Protocol,  // the PC sent something the phone cannot use
  Io,        // any other socket failure
};

/// Why a phone session had to end; what() is a one-line reason for the user.
class PhoneError : public std::runtime_error {
 public:
  PhoneError(ErrorKind kind, const std::string& reason) : std::runtime_error(reason), kind_(kind) {}

  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

enum class HandshakeResult {
  Success,           // AUTH_SUCCESS, with or without a password asked for
  PasswordRequired,  // AUTH_REQUEST, but no password to answer with
  Fail,              // AUTH_FAIL: the password was wrong
  TimedOut,          // no answer within the time-out
  Closed,            // the PC closed the connection without answering
  Unexpected,        // a packet that is no handshake answer, see LastHandshakePacket
};

enum class ReceiveStatus { Packet, TimedOut, Closed };

struct Received {
  ReceiveStatus status = ReceiveStatus::TimedOut;
  /// The whole packet, command byte first; empty unless status is Packet.
  Bytes packet;
};

/// Called after each chunk with the bytes sent so far and the file's size.
using FileProgress = std::function<void(std::uint64_t sent, std::uint64_t total)>;

/// One connection, used from one thread at a time.
class PhoneClient {
 public:
  /// `timeout` bounds connecting, writing and every wait without an explicit one.
  explicit PhoneClient(Seconds timeout = Seconds(5.0));
  ~PhoneClient();
  PhoneClient(const PhoneClient&) = delete;
  PhoneClient& operator=(const PhoneClient&) = delete;

  /// Connects to the PC and sends `hello` ("Maker/Name/Model/Kind") as the very
  /// first bytes, in one write: the PC takes its first read as the hello.
  /// Nothing else may be sent until Handshake has read the PC's first packet.
  /// Throws PhoneError (Refused, Resolve, TimedOut, Io).
  void Connect(const std::string& host, std::uint16_t port, std::string_view hello);

  /// Reads the PC's first packet and answers an AUTH_REQUEST with the digest of
  /// its nonce and `password`. Throws PhoneError only for socket failures other
  /// than a closed connection.
  HandshakeResult Handshake(const std::optional<std::string>& password);

  /// Whether the PC asked for a password during Handshake.
  bool PasswordAsked() const noexcept { return passwordAsked_; }
  /// The last packet Handshake read (empty when none arrived).
  const Bytes& LastHandshakePacket() const noexcept { return lastHandshakePacket_; }

  /// Writes `bytes` whole. Throws PhoneError (Closed, TimedOut, Io).
  void Send(std::span<const std::uint8_t> bytes);

  /// Sends `bytes` as one UDP datagram to the PC's address and port, from the
  /// local address of the TCP session: a PC with a password takes datagrams
  /// only from an address with an authenticated session, so connect and
  /// handshake first and keep the session open meanwhile. Nothing confirms
  /// delivery. Throws PhoneError (Closed when there is no session, Refused,
  /// TimedOut, Io).
  void SendDatagram(std::span<const std::uint8_t> bytes);

  /// Reads one whole packet from the PC, waiting at most `timeout`. Packets are
  /// framed by their known sizes: AUTH_REQUEST 10 bytes, APP_LIST_DATA its
  /// header plus payload, everything else one byte.
  Received ReceivePacket(Seconds timeout);
  Received ReceivePacket() { return ReceivePacket(timeout_); }

  /// Sends PING and waits for PONG, passing over any other packet; returns the
  /// round-trip time. As the PC handles a connection's packets in order, the
  /// PONG also confirms everything sent before. Throws PhoneError (TimedOut, Closed).
  Seconds Ping();

  /// Streams `file` as FILE_TRANSFER_START, chunks of at most 65,535 bytes and
  /// FILE_TRANSFER_END. The PC does not acknowledge files: Ping afterwards to
  /// know it has them. Throws PhoneError.
  void SendFile(FileSource& file, const FileProgress& progress = {});
  void SendFile(const std::filesystem::path& path, const FileProgress& progress = {});

  /// "no answer from the PC within 5 s".
  std::string TimeoutReason() const;

  Seconds timeout() const noexcept { return timeout_; }
  bool connected() const noexcept;
  void Close() noexcept;

 private:
  struct Io;

  // Reads what the socket has (at least one byte) into the receive buffer,
  // returning early at `deadline`; marks the stream closed at its end.
  void ReadSome(std::chrono::steady_clock::time_point deadline);
  // Opens the datagram socket beside the TCP session on first use.
  void OpenDatagramSocket();

  Seconds timeout_;
  std::unique_ptr<Io> io_;
  bool peerClosed_ = false;
  bool passwordAsked_ = false;
  Bytes lastHandshakePacket_;
};

}  // namespace vandrel::phone
