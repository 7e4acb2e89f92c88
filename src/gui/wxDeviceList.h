// The connected phones, one report row each.
#pragma once

#include <wx/listctrl.h>

#include <vector>

#include "protocol/DeviceInfo.h"

namespace vandrel {

class wxDeviceList : public wxListView {
 public:
  static constexpr int kColumnCount = 6;

  wxDeviceList(wxWindow* parent, wxWindowID id = wxID_ANY);

  /// Replaces every row with `devices`, in order: number, address, link
  /// ("WIFI" or "USB"), name, manufacturer, model.
  void SetDevices(std::vector<DeviceInfo> devices);
  /// The records last passed to SetDevices.
  const std::vector<DeviceInfo>& Devices() const { return devices_; }

 private:
  std::vector<DeviceInfo> devices_;
};

}  // namespace vandrel
