#include "gui/wxDeviceList.h"

#include <wx/version.h>

#include <utility>

namespace vandrel {

wxDeviceList::wxDeviceList(wxWindow* parent, wxWindowID id)
    : wxListView(parent, id, wxDefaultPosition, wxDefaultSize, wxLC_REPORT) {
#if wxCHECK_VERSION(3, 1, 0)
  // The themed Windows list draws faint rows; the plain one reads better here.
  EnableSystemTheme(false);
#endif
  InsertColumn(0, "#", wxLIST_FORMAT_LEFT, 20);
  InsertColumn(1, "Address", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE);
  InsertColumn(2, "Status", wxLIST_FORMAT_LEFT, 45);
  InsertColumn(3, "Name", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE);
  InsertColumn(4, "Manufacturer", wxLIST_FORMAT_LEFT, 100);
  InsertColumn(5, "Model", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE);
  // 45 pixels is narrower than the heading in some themes; keep it readable.
  SetColumnWidth(2, wxLIST_AUTOSIZE_USEHEADER);
  if (GetColumnWidth(2) < 45) SetColumnWidth(2, 45);
}

void wxDeviceList::SetDevices(std::vector<DeviceInfo> devices) {
  devices_ = std::move(devices);
  DeleteAllItems();
  long row = 0;
  for (const DeviceInfo& device : devices_) {
    const long at = InsertItem(row, wxString::Format("%ld", row + 1));
    SetItem(at, 1, wxString::FromUTF8(device.address));
    SetItem(at, 2, device.isWifi != 0 ? "WIFI" : "USB");
    SetItem(at, 3, wxString::FromUTF8(device.name));
    SetItem(at, 4, wxString::FromUTF8(device.manufacturer));
    SetItem(at, 5, wxString::FromUTF8(device.model));
    ++row;
  }
  // The automatic columns follow their text, never narrower than their heading.
  for (const int column : {1, 3, 5}) {
    SetColumnWidth(column, wxLIST_AUTOSIZE_USEHEADER);
    const int heading = GetColumnWidth(column);
    if (devices_.empty()) continue;
    SetColumnWidth(column, wxLIST_AUTOSIZE);
    if (GetColumnWidth(column) < heading) SetColumnWidth(column, heading);
  }
}

}  // namespace vandrel
