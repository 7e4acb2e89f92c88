// The device list, the tray icon and the window icon.
#include <wx/menu.h>

#include <memory>
#include <string>
#include <vector>

#include "GuiTest.h"
#include "gui/Artwork.h"
#include "gui/wxDeviceList.h"
#include "gui/wxMTaskbar.h"

namespace vandrel::testing {
namespace {

std::vector<std::string> Row(wxListCtrl* list, long row) {
  std::vector<std::string> cells;
  for (int column = 0; column < list->GetColumnCount(); ++column) {
    cells.push_back(list->GetItemText(row, column).utf8_string());
  }
  return cells;
}

using WidgetsTest = GuiTest;

TEST_F(WidgetsTest, DeviceRowsFollowTheLastListGiven) {
  FramePtr frame(new TestFrame(nullptr));
  wxDeviceList* list = frame->GetDeviceList();
  list->SetDevices({Device("192.168.1.31", "Ana \xE2\x98\x85", "Google", "Pixel 8", 2),
                    Device("usb:R58M", "Tab", "samsung", "SM-X200", 0)});
  ASSERT_EQ(list->GetItemCount(), 2);
  EXPECT_EQ(Row(list, 0),
            (std::vector<std::string>{"1", "192.168.1.31", "WIFI", "Ana \xE2\x98\x85", "Google", "Pixel 8"}));
  EXPECT_EQ(Row(list, 1), (std::vector<std::string>{"2", "usb:R58M", "USB", "Tab", "samsung", "SM-X200"}));
  ASSERT_EQ(list->Devices().size(), 2u);
  EXPECT_EQ(list->Devices()[1].model, "SM-X200");

  list->SetDevices({});
  EXPECT_EQ(list->GetItemCount(), 0);
  EXPECT_TRUE(list->Devices().empty());
}

TEST_F(WidgetsTest, TrayMenuRunsTheCallablesAndADoubleClickShowsTheWindow) {
  FramePtr frame(new TestFrame(nullptr));
  wxMTaskbar* tray = frame->GetTaskbarIcon();
  const std::unique_ptr<wxMenu> menu(tray->CreatePopupMenu());
  ASSERT_EQ(menu->GetMenuItemCount(), 3u);
  EXPECT_EQ(menu->FindItemByPosition(0)->GetId(), wxMTaskbar::kRestartId);
  EXPECT_EQ(menu->FindItemByPosition(0)->GetItemLabelText(), "Restart");
  EXPECT_TRUE(menu->FindItemByPosition(1)->IsSeparator());
  EXPECT_EQ(menu->FindItemByPosition(2)->GetId(), wxID_EXIT);
  EXPECT_EQ(menu->FindItemByPosition(2)->GetItemLabelText(), "Exit");

  wxCommandEvent restart(wxEVT_MENU, wxMTaskbar::kRestartId);
  wxCommandEvent exit(wxEVT_MENU, wxID_EXIT);
  tray->ProcessEvent(restart);  // no callables yet: nothing happens
  int restarts = 0;
  int exits = 0;
  frame->SetRestartCallback([&] { ++restarts; });
  frame->SetExitCallback([&] { ++exits; });
  tray->ProcessEvent(restart);
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(exits, 0);
  tray->ProcessEvent(exit);
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(exits, 1);

  ASSERT_FALSE(frame->IsShown());
  wxTaskBarIconEvent click(wxEVT_TASKBAR_LEFT_DCLICK, tray);
  tray->ProcessEvent(click);
  EXPECT_TRUE(frame->IsShown());
  wxMTaskbar lone(nullptr);  // no window to show
  lone.ProcessEvent(click);
}

TEST_F(WidgetsTest, IconIsOpaqueOnATransparentSquare) {
  wxBitmap bitmap;
  bitmap.CopyFromIcon(MakeAppIcon());
  ASSERT_EQ(bitmap.GetSize(), wxSize(32, 32));
  const wxImage image = bitmap.ConvertToImage();
  EXPECT_TRUE(image.IsTransparent(0, 0));
  EXPECT_TRUE(image.IsTransparent(31, 31));
  EXPECT_FALSE(image.IsTransparent(12, 16));
}

}  // namespace
}  // namespace vandrel::testing
