// The update offer of the tray program: the prompt, and then the installer
// (Windows) or the release page (elsewhere, where packages are installed by
// other means than a silent installer).
#include <wx/msgdlg.h>
#include <wx/progdlg.h>

#include <thread>

#include "Version.h"
#include "app/VandrelApp.h"
#include "desktop/Desktop.h"
#include "gui/wxMain.h"
#include "infra/Logger.h"
#include "infra/PrintableText.h"

namespace vandrel {

void VandrelApp::PromptUpdate(const update::UpdateInfo& info) {
  const wxString text = wxString::Format(
      wxString::FromUTF8("发现新版本 Vandrel v%s\n\n当前版本: v%s\n\n更新内容:\n%s\n\n是否立即更新？"),
      wxString::FromUTF8(info.version), wxString::FromUTF8(kVersion), wxString::FromUTF8(info.releaseNotes));
  wxMessageDialog dialog(main_, text, wxString::FromUTF8("发现新版本"), wxYES_NO | wxICON_INFORMATION);
  dialog.SetYesNoLabels(wxString::FromUTF8("立即更新"), wxString::FromUTF8("稍后再说"));
  if (dialog.ShowModal() != wxID_YES) return;
#ifdef _WIN32
  StartUpdateDownload(info);
#else
  OpenReleasePage(info.pageUrl);
#endif
}

void VandrelApp::StartUpdateDownload(const update::UpdateInfo& info) {
  auto* progress = new wxProgressDialog(wxString::FromUTF8("正在更新"), wxString::FromUTF8("下载更新包..."), 100, main_,
                                        wxPD_CAN_ABORT | wxPD_APP_MODAL | wxPD_AUTO_HIDE);
  // The download thread never touches the dialog: every update is a queued
  // call, so they arrive in order and the last one destroys it.
  std::thread([this, info, progress] {
    const bool ok = update::DownloadAndLaunchInstaller(info, [this, progress](std::int64_t done, std::int64_t total) {
      const int percent = update::ProgressPercent(done, total);
      CallAfter([progress, percent, text = update::ProgressText(done, total)] {
        progress->Update(percent, wxString::FromUTF8(text));
      });
    });
    CallAfter([this, progress, ok] {
      progress->Destroy();
      if (!ok) {
        wxMessageBox(wxString::FromUTF8("更新下载失败，请稍后重试。"), wxString::FromUTF8("更新失败"), wxOK | wxICON_ERROR,
                     main_);
        return;
      }
      // The installer replaces the program; it must not be running.
      Exit();
    });
  }).detach();
}

void VandrelApp::OpenReleasePage(const std::string& url) {
  if (url.empty() || !core_.desktop()) return;
  Log() << "[UPDATE] Opening the release page: " << Printable(url);
  // The opener may take seconds to answer; not on the GUI thread.
  std::thread([desktop = core_.desktop(), url] {
    const bool ok = desktop->OpenUrl(url);
    Log() << "[UPDATE] " << desktop->UrlOpenerName() << " result: " << (ok ? "OK" : "FAILED");
  }).detach();
}

}  // namespace vandrel
