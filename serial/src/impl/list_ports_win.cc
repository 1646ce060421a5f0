// Windows port list: the present devices of the ports setup class (COM and
// LPT) from the device installation database, read with the ANSI SetupAPI and
// registry functions; texts stay in the ANSI code page.
#include <windows.h>
#include <setupapi.h>

#include "impl/win_logic.h"
#include "serial/serial.h"

namespace serial {

static_assert(static_cast<DWORD>(detail::DeviceProperty::FriendlyName) == SPDRP_FRIENDLYNAME &&
                  static_cast<DWORD>(detail::DeviceProperty::HardwareId) == SPDRP_HARDWAREID,
              "property codes");

namespace {

// GUID_DEVCLASS_PORTS.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DeviceInfoList {
 public:
  explicit DeviceInfoList(HDEVINFO set) noexcept : set_(set) {}
  ~DeviceInfoList() {
    if (set_ != INVALID_HANDLE_VALUE) (void)SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  HDEVINFO get() const noexcept { return set_; }

 private:
  HDEVINFO set_;
};

class RegistryKey {
 public:
  explicit RegistryKey(HKEY key) noexcept : key_(key) {}
  ~RegistryKey() {
    if (valid()) (void)RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const noexcept { return key_; }
  bool valid() const noexcept {
    return key_ != nullptr && key_ != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  }

 private:
  HKEY key_;
};

class SetupApiDevices : public detail::DeviceSource {
 public:
  SetupApiDevices()
      : set_(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT)), device_() {
    device_.cbSize = sizeof device_;
  }

  bool selectDevice(uint32_t index) override {
    // A failed SetupDiGetClassDevsA makes this fail too: the list stays empty.
    return SetupDiEnumDeviceInfo(set_.get(), index, &device_) != FALSE;
  }

  long queryPortName(char* buffer, uint32_t& size) override {
    RegistryKey key(
        SetupDiOpenDevRegKey(set_.get(), &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (!key.valid()) return ERROR_INVALID_HANDLE;
    DWORD bytes = size;
    const LONG status = RegQueryValueExA(key.get(), "PortName", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(buffer), &bytes);
    size = bytes;
    return status;
  }

  bool getProperty(detail::DeviceProperty property, char* buffer, uint32_t capacity,
                   uint32_t& required) override {
    DWORD bytes = 0;
    const BOOL read = SetupDiGetDeviceRegistryPropertyA(
        set_.get(), &device_, static_cast<DWORD>(property), nullptr,
        reinterpret_cast<BYTE*>(buffer), capacity, &bytes);
    required = bytes;
    return read != FALSE;
  }

 private:
  DeviceInfoList set_;
  SP_DEVINFO_DATA device_;
};

}  // namespace

std::vector<PortInfo> listPorts() {
  SetupApiDevices devices;
  return detail::enumeratePorts(devices);
}

}  // namespace serial
