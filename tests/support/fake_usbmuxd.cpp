#include "support/fake_usbmuxd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <stdexcept>

namespace quill::testing {

namespace {

constexpr std::uint16_t kLockdownPort = 62078;
constexpr std::uint16_t kAfcPort = 49152;
constexpr std::uint32_t kDeviceId = 7;

// AFC operations.
constexpr std::uint64_t kAfcStatus = 1, kAfcData = 2, kAfcReadDir = 3, kAfcFileInfo = 0x0A,
                        kAfcFileOpen = 0x0D, kAfcFileOpenResult = 0x0E, kAfcFileRead = 0x0F,
                        kAfcFileSeek = 0x11, kAfcFileTell = 0x12, kAfcFileTellResult = 0x13,
                        kAfcFileClose = 0x14;
constexpr std::uint64_t kAfcReadOnly = 1;
constexpr std::uint64_t kAfcNotFound = 8, kAfcPermission = 10, kAfcBadArgument = 7;

bool ReadAll(int fd, void* buffer, std::size_t size) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = recv(fd, at, size, 0);
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t sent = send(fd, at, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    at += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::string Xml(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string text(xml ? xml : "", length);
  free(xml);
  return text;
}

std::string StringItem(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  free(value);
  return text;
}

std::uint64_t UintItem(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  std::uint64_t value = 0;
  if (node && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
  return value;
}

// usbmuxd's packets: length, version 1, message 8 (plist), tag; then XML.
bool SendMuxPlist(int fd, plist_t message, std::uint32_t tag) {
  const std::string xml = Xml(message);
  plist_free(message);
  std::uint32_t header[4] = {static_cast<std::uint32_t>(16 + xml.size()), 1, 8, tag};
  return WriteAll(fd, header, sizeof header) && WriteAll(fd, xml.data(), xml.size());
}

plist_t Result(std::uint64_t number) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "MessageType", plist_new_string("Result"));
  plist_dict_set_item(dict, "Number", plist_new_uint(number));
  return dict;
}

plist_t AttachedDevice() {
  plist_t properties = plist_new_dict();
  plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
  plist_dict_set_item(properties, "DeviceID", plist_new_uint(kDeviceId));
  plist_dict_set_item(properties, "LocationID", plist_new_uint(0x14100000));
  plist_dict_set_item(properties, "ProductID", plist_new_uint(0x1297));
  plist_dict_set_item(properties, "SerialNumber", plist_new_string(TFakeUsbmuxd::kUdid));
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "MessageType", plist_new_string("Attached"));
  plist_dict_set_item(dict, "DeviceID", plist_new_uint(kDeviceId));
  plist_dict_set_item(dict, "Properties", properties);
  return dict;
}

plist_t PairRecord() {
  plist_t dict = plist_new_dict();
  const char kCertificate[] = "-----BEGIN CERTIFICATE-----\nfake\n-----END CERTIFICATE-----\n";
  for (const char* key : {"DeviceCertificate", "HostCertificate", "RootCertificate",
                          "HostPrivateKey", "RootPrivateKey"})
    plist_dict_set_item(dict, key, plist_new_data(kCertificate, sizeof kCertificate - 1));
  plist_dict_set_item(dict, "HostID", plist_new_string("FAKE-HOST-ID"));
  plist_dict_set_item(dict, "SystemBUID", plist_new_string("FAKE-BUID"));
  plist_dict_set_item(dict, "WiFiMACAddress", plist_new_string("00:00:00:00:00:00"));
  return dict;
}

// lockdownd's packets: a big-endian length, then the plist.
plist_t ReceiveLockdown(int fd) {
  std::uint32_t length = 0;
  if (!ReadAll(fd, &length, 4)) return nullptr;
  length = ntohl(length);
  if (length == 0 || length > (1u << 20)) return nullptr;
  std::string data(length, '\0');
  if (!ReadAll(fd, data.data(), length)) return nullptr;
  plist_t message = nullptr;
  plist_from_memory(data.data(), length, &message);
  return message;
}

bool SendLockdown(int fd, plist_t message) {
  const std::string xml = Xml(message);
  plist_free(message);
  const std::uint32_t length = htonl(static_cast<std::uint32_t>(xml.size()));
  return WriteAll(fd, &length, 4) && WriteAll(fd, xml.data(), xml.size());
}

struct TAfcHeader {
  char Magic[8];
  std::uint64_t EntireLength;
  std::uint64_t ThisLength;
  std::uint64_t PacketNumber;
  std::uint64_t Operation;
};
static_assert(sizeof(TAfcHeader) == 40);

bool SendAfc(int fd, std::uint64_t packet, std::uint64_t operation, const std::string& data) {
  TAfcHeader header{};
  std::memcpy(header.Magic, "CFA6LPAA", 8);
  header.EntireLength = header.ThisLength = sizeof header + data.size();
  header.PacketNumber = packet;
  header.Operation = operation;
  return WriteAll(fd, &header, sizeof header) && WriteAll(fd, data.data(), data.size());
}

std::string U64(std::uint64_t value) {
  return std::string(reinterpret_cast<const char*>(&value), 8);
}

bool HasParent(const std::string& path) {
  return path == ".." || path.rfind("../", 0) == 0 || path.find("/../") != std::string::npos ||
         (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
}

}  // namespace

TFakeUsbmuxd::TFakeUsbmuxd(std::string socketPath, std::string folder, std::uint32_t maxReadAnswer)
    : socket_path_(std::move(socketPath)), folder_(std::move(folder)), max_read_(maxReadAnswer) {
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (listen_fd_ < 0 || socket_path_.size() >= sizeof address.sun_path)
    throw std::runtime_error("cannot make the fake usbmuxd socket");
  std::memcpy(address.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
  unlink(socket_path_.c_str());
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 16) != 0)
    throw std::runtime_error("cannot listen on " + socket_path_);
  acceptor_ = std::thread([this] { Accept(); });
}

TFakeUsbmuxd::~TFakeUsbmuxd() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : connections_) shutdown(fd, SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& thread : threads_) thread.join();
  close(listen_fd_);
  unlink(socket_path_.c_str());
}

void TFakeUsbmuxd::Accept() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 || stopping_) {
      if (fd >= 0) close(fd);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.insert(fd);
    threads_.emplace_back([this, fd] {
      Serve(fd);
      std::lock_guard<std::mutex> done(mutex_);
      connections_.erase(fd);
      listeners_.erase(fd);
      close(fd);
    });
  }
}

void TFakeUsbmuxd::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : listeners_) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "MessageType", plist_new_string("Detached"));
    plist_dict_set_item(dict, "DeviceID", plist_new_uint(kDeviceId));
    SendMuxPlist(fd, dict, 0);
  }
  for (int fd : connections_)
    if (!listeners_.count(fd)) shutdown(fd, SHUT_RDWR);
}

std::vector<std::uint64_t> TFakeUsbmuxd::OpenModes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_modes_;
}

void TFakeUsbmuxd::Serve(int fd) {
  for (;;) {
    std::uint32_t header[4];
    if (!ReadAll(fd, header, sizeof header) || header[0] < 16 || header[0] > (1u << 20)) return;
    std::string payload(header[0] - 16, '\0');
    if (!ReadAll(fd, payload.data(), payload.size())) return;
    const std::uint32_t tag = header[3];
    plist_t request = nullptr;
    plist_from_memory(payload.data(), static_cast<uint32_t>(payload.size()), &request);
    if (!request) return;
    const std::string type = StringItem(request, "MessageType");
    const std::uint64_t port = ntohs(static_cast<std::uint16_t>(UintItem(request, "PortNumber")));
    const std::string pairId = StringItem(request, "PairRecordID");
    plist_free(request);

    if (type == "Listen") {
      if (!SendMuxPlist(fd, Result(0), tag)) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners_.insert(fd);
      }
      SendMuxPlist(fd, AttachedDevice(), 0);
      char byte;
      while (recv(fd, &byte, 1, 0) > 0) {
      }
      return;
    }
    if (type == "ListDevices") {
      plist_t list = plist_new_array();
      plist_array_append_item(list, AttachedDevice());
      plist_t dict = plist_new_dict();
      plist_dict_set_item(dict, "DeviceList", list);
      if (!SendMuxPlist(fd, dict, tag)) return;
    } else if (type == "ReadPairRecord") {
      if (pairId != kUdid) {
        if (!SendMuxPlist(fd, Result(2), tag)) return;
        continue;
      }
      plist_t pairRecord = PairRecord();
      const std::string record = Xml(pairRecord);
      plist_free(pairRecord);
      plist_t dict = plist_new_dict();
      plist_dict_set_item(dict, "PairRecordData", plist_new_data(record.data(), record.size()));
      if (!SendMuxPlist(fd, dict, tag)) return;
    } else if (type == "ReadBUID") {
      plist_t dict = plist_new_dict();
      plist_dict_set_item(dict, "BUID", plist_new_string("FAKE-BUID"));
      if (!SendMuxPlist(fd, dict, tag)) return;
    } else if (type == "Connect") {
      if (port != kLockdownPort && port != kAfcPort) {
        SendMuxPlist(fd, Result(3), tag);
        return;
      }
      if (!SendMuxPlist(fd, Result(0), tag)) return;
      if (port == kLockdownPort) {
        ServeLockdown(fd);
      } else {
        ServeAfc(fd);
      }
      return;
    } else {
      if (!SendMuxPlist(fd, Result(1), tag)) return;
    }
  }
}

void TFakeUsbmuxd::ServeLockdown(int fd) {
  for (;;) {
    plist_t request = ReceiveLockdown(fd);
    if (!request) return;
    const std::string verb = StringItem(request, "Request");
    const std::string key = StringItem(request, "Key");
    const std::string service = StringItem(request, "Service");
    plist_free(request);
    plist_t reply = plist_new_dict();
    plist_dict_set_item(reply, "Request", plist_new_string(verb.c_str()));
    if (verb == "QueryType") {
      plist_dict_set_item(reply, "Type", plist_new_string("com.apple.mobile.lockdown"));
    } else if (verb == "GetValue") {
      if (!key.empty()) plist_dict_set_item(reply, "Key", plist_new_string(key.c_str()));
      plist_dict_set_item(reply, "Value",
                          plist_new_string(key == "ProductVersion" ? "4.2.1" : "Fake"));
    } else if (verb == "ValidatePair" || verb == "StopSession" || verb == "Goodbye") {
      plist_dict_set_item(reply, "Result", plist_new_string("Success"));
    } else if (verb == "StartSession") {
      plist_dict_set_item(reply, "SessionID", plist_new_string("FAKE-SESSION"));
      plist_dict_set_item(reply, "EnableSessionSSL", plist_new_bool(0));
    } else if (verb == "StartService" && service == "com.apple.afc") {
      plist_dict_set_item(reply, "Service", plist_new_string(service.c_str()));
      plist_dict_set_item(reply, "Port", plist_new_uint(kAfcPort));
      plist_dict_set_item(reply, "EnableServiceSSL", plist_new_bool(0));
    } else {
      plist_dict_set_item(reply, "Error", plist_new_string("UnsupportedRequest"));
    }
    if (!SendLockdown(fd, reply) || verb == "Goodbye") return;
  }
}

void TFakeUsbmuxd::ServeAfc(int fd) {
  std::map<std::uint64_t, std::pair<int, std::uint64_t>> files;  // handle: fd, position
  std::uint64_t nextHandle = 1;
  auto local = [&](const std::string& path) {
    if (HasParent(path)) return std::string();
    return folder_ + (path.empty() || path[0] != '/' ? "/" : "") + path;
  };
  auto status = [&](std::uint64_t packet, std::uint64_t code) {
    return SendAfc(fd, packet, kAfcStatus, U64(code));
  };
  for (;;) {
    TAfcHeader header{};
    if (!ReadAll(fd, &header, sizeof header) || std::memcmp(header.Magic, "CFA6LPAA", 8) != 0 ||
        header.EntireLength < sizeof header || header.EntireLength > (1u << 20))
      break;
    std::string data(header.EntireLength - sizeof header, '\0');
    if (!ReadAll(fd, data.data(), data.size())) break;
    const std::uint64_t packet = header.PacketNumber;
    auto u64At = [&](std::size_t at) {
      std::uint64_t value = 0;
      if (data.size() >= at + 8) std::memcpy(&value, data.data() + at, 8);
      return value;
    };
    bool ok = true;
    switch (header.Operation) {
      case kAfcFileInfo: {
        struct stat st {};
        const std::string path = local(data.c_str());
        if (path.empty() || lstat(path.c_str(), &st) != 0) {
          ok = status(packet, kAfcNotFound);
          break;
        }
        const char* kind = S_ISREG(st.st_mode)   ? "S_IFREG"
                           : S_ISDIR(st.st_mode) ? "S_IFDIR"
                                                 : "S_IFLNK";
        std::string pairs;
        for (const auto& [k, v] : std::initializer_list<std::pair<std::string, std::string>>{
                 {"st_size", std::to_string(st.st_size)},
                 {"st_blocks", std::to_string(st.st_blocks)},
                 {"st_nlink", std::to_string(st.st_nlink)},
                 {"st_ifmt", kind},
                 {"st_mtime", std::to_string(st.st_mtime) + "000000000"}})
          pairs += k + '\0' + v + '\0';
        ok = SendAfc(fd, packet, kAfcData, pairs);
        break;
      }
      case kAfcReadDir: {
        const std::string path = local(data.c_str());
        DIR* dir = path.empty() ? nullptr : opendir(path.c_str());
        if (!dir) {
          ok = status(packet, kAfcNotFound);
          break;
        }
        std::string names;
        while (const dirent* entry = readdir(dir)) names += std::string(entry->d_name) + '\0';
        closedir(dir);
        ok = SendAfc(fd, packet, kAfcData, names);
        break;
      }
      case kAfcFileOpen: {
        const std::uint64_t mode = u64At(0);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          open_modes_.push_back(mode);
        }
        if (mode != kAfcReadOnly) {
          ++write_requests_;
          ok = status(packet, kAfcPermission);
          break;
        }
        const std::string path = data.size() > 8 ? local(data.c_str() + 8) : std::string();
        const int file = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0) {
          ok = status(packet, kAfcNotFound);
          break;
        }
        files[nextHandle] = {file, 0};
        ok = SendAfc(fd, packet, kAfcFileOpenResult, U64(nextHandle++));
        break;
      }
      case kAfcFileRead: {
        const auto file = files.find(u64At(0));
        if (file == files.end()) {
          ok = status(packet, kAfcBadArgument);
          break;
        }
        std::string bytes(std::min<std::uint64_t>(u64At(8), max_read_), '\0');
        const ssize_t got = pread(file->second.first, bytes.data(), bytes.size(),
                                  static_cast<off_t>(file->second.second));
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        file->second.second += bytes.size();
        ok = SendAfc(fd, packet, kAfcData, bytes);
        break;
      }
      case kAfcFileSeek: {
        const auto file = files.find(u64At(0));
        const std::uint64_t whence = u64At(8);
        const auto offset = static_cast<std::int64_t>(u64At(16));
        if (file == files.end() || whence != 0 || offset < 0) {
          ok = status(packet, kAfcBadArgument);
          break;
        }
        file->second.second = static_cast<std::uint64_t>(offset);
        ok = status(packet, 0);
        break;
      }
      case kAfcFileTell: {
        const auto file = files.find(u64At(0));
        ok = file == files.end()
                 ? status(packet, kAfcBadArgument)
                 : SendAfc(fd, packet, kAfcFileTellResult, U64(file->second.second));
        break;
      }
      case kAfcFileClose: {
        const auto file = files.find(u64At(0));
        if (file == files.end()) {
          ok = status(packet, kAfcBadArgument);
          break;
        }
        close(file->second.first);
        files.erase(file);
        ok = status(packet, 0);
        break;
      }
      default:
        // Anything else would change the device (or is not served here).
        ++write_requests_;
        ok = status(packet, kAfcPermission);
        break;
    }
    if (!ok) break;
  }
  for (auto& [handle, file] : files) close(file.first);
}

}  // namespace quill::testing
