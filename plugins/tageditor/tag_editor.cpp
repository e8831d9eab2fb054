#include "plugins/tageditor/tag_editor.h"

#include <cstdio>
#include <utility>

#include <QApplication>

#include "common/message_hook.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "plugins/tageditor/tag_edit_dlg.h"

namespace talvek::tageditor {

void ShowMessage(QWidget* parent, const QString& text) {
  ShowMessageBox(parent, QString::fromUtf8(kCaption), text);
}

void Trace(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

std::span<const DeviceRecord> TagEditSession::Devices() const {
  if (devices == nullptr || devices->GetSize() == 0)
    return {};
  return {&(*devices)[0], devices->GetSize()};
}

void TagEditSession::ReleaseDriver() {
  driver.Reset();
}

bool TagEditSession::LoadDriver(std::string_view model, QWidget* parent) {
  const DeviceRecord* device = nullptr;
  for (const DeviceRecord& d : Devices()) {
    if (platform::ArrayText(d.descriptor.model) == model) {
      device = &d;
      break;
    }
  }
  if (device == nullptr) {
    ShowMessage(parent,
                QStringLiteral("没有从系统中找到该驱动\n请在配置的驱动设备中选择驱动名称!"));
    return false;
  }
  platform::ComPtr<IProtocolDriver> created;
  const HRESULT hr =
      platform::CoCreateInstance(device->descriptor.driverClsid, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IProtocolDriver, created.PutVoid());
  if (FAILED(hr) || !created) {
    driver.Reset();
    ShowMessage(parent, QStringLiteral("加载驱动失败!"));
    return false;
  }
  driver = std::move(created);  // the driver held before goes after the new one is made
  driverModel.assign(platform::ArrayText(device->descriptor.model));
  driverClsid = device->descriptor.driverClsid;
  return true;
}

std::string TagEditSession::RefusalText(const TagAddressInput& in) const {
  platform::ComPtr<IProtocolDriver> fresh;
  const HRESULT hr = platform::CoCreateInstance(driverClsid, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IProtocolDriver, fresh.PutVoid());
  if (FAILED(hr) || !fresh)
    return {};
  DriverItem out{};
  std::string text;
  if (fresh->ConvertUserConfigToVar(&in, &out) != 0) {
    if (const char* own = fresh->GetLastErrorText(); own != nullptr)
      text = own;
  }
  return text;
}

int ShowTagEditor(DeviceArray* devices, TagRecord* tag, std::vector<TagRecord>* tags) {
  if (tag == nullptr || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return 0;
  try {
    TagEditSession session;
    session.devices = devices;
    session.tag = tag;
    session.tags = tags;
    TagEditDlg dialog(session, QApplication::activeWindow());
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
  } catch (...) {
    // Nothing may leave the module: a failure that got this far leaves the record untouched.
    return 0;
  }
}

}  // namespace talvek::tageditor
