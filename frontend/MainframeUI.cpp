#include "MainframeUI.h"

#include "DiskInfo.h"
#include "Elision.h"
#include "FrontText.h"
#include "LocalText.h"
#include "Platform.h"
#include "ProfileReader.h"
#include "TextUtil.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTranslator>
#include <QUiLoader>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

CMainframeUI* g_mainframe = nullptr;

constexpr int kFolderTextMax = 260;
const char16_t kSettingsSection[] = u"FIRMWARE";
const char16_t kSettingsKey[] = u"PATH";
// The "Verify after writing" choice: 1 checked, anything else unchecked.
const char16_t kVerifySection[] = u"JOB";
const char16_t kVerifyKey[] = u"VERIFY";

// The settings to read: the user's file, or the one beside the program until there is one.
const std::u16string& SettingsToRead(const MainframeOptions& options) {
  return plat::PathExists(options.settingsPath) || options.settingsFallback.empty()
             ? options.settingsPath
             : options.settingsFallback;
}

const char kHelpViewer[] = "xdg-open";

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }
std::u16string U(const QString& text) { return text.toStdU16String(); }
QString Text(const char16_t* key) { return Q(LocalText(key, 0)); }

// A start-up text on whatever kind of control the skin made of the name.
void SetControlText(QWidget* control, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
    group->setTitle(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  }
}

}  // namespace

int ShowQtMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxKind kind) {
  QMessageBox box(owner);
  box.setText(text);
  switch (kind) {
    case BoxKind::kError:
      box.setWindowTitle(caption);
      box.setIcon(QMessageBox::Critical);
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case BoxKind::kQuestion:
      box.setWindowTitle(caption);
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::No);
      break;
    case BoxKind::kHelpError:
      box.setIcon(QMessageBox::Critical);
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Yes:
      return kAnswerYes;
    case QMessageBox::No:
      return kAnswerNo;
    default:
      return kAnswerOk;
  }
}

std::vector<DISK_DATA> SystemDisks(const std::function<void(const std::u16string&)>& report) {
  DiskInfo info;
  info.SetParentWnd(report);
  std::vector<DISK_DATA> disks;
  info.GetRes(disks);
  return disks;
}

bool InstallQtTranslations(QCoreApplication* app, uint16_t langId) {
  const std::u16string name = QtTranslationName(langId);
  if (name.empty()) return false;
  auto* translator = new QTranslator(app);
  if (!translator->load(QStringLiteral("qt_") + Q(name),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

bool DeviceWritable(const std::u16string& path) {
  const std::string native = plat::ToUtf8(path);
  struct stat st {};
  if (stat(native.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return true;
  return access(native.c_str(), W_OK) == 0;
}

SettingsFiles ChooseSettingsFiles(const std::u16string& programFolder,
                                  const std::u16string& userConfigFolder) {
  const std::u16string beside = programFolder + u"config.ini";
  const std::u16string user = userConfigFolder + u"brindle/config.ini";
  if (!plat::IsRegularFile(beside)) return {user, {}};
  if (access(plat::ToUtf8(beside).c_str(), W_OK) == 0) return {beside, {}};
  return {user, beside};
}

DiskGrant OpenThroughDiskService(const std::string& device) {
  return DiskService(QDBusConnection::systemBus()).OpenForWriting(device);
}

void RescanThroughDiskService(const std::string& device) {
  DiskService(QDBusConnection::systemBus()).Rescan(device);
}

MainframeOptions MainframeOptions::Defaults() {
  const std::u16string folder = plat::ExecutableFolder();
  MainframeOptions o;
  o.skinPath = folder + u"res/skin.xml";
  o.iconPath = folder + u"res/icons/brindle.svg";
  const SettingsFiles settings = ChooseSettingsFiles(folder, plat::UserConfigFolder());
  o.settingsPath = settings.path;
  o.settingsFallback = settings.fallback;
  o.helpFolder = folder;
  o.enginePath = plat::ToUtf8(folder) + "libPlinth.so";
  o.chooseFolder = [](QWidget* owner, const QString& title, const QString& initial) {
    return QFileDialog::getExistingDirectory(owner, title, initial, QFileDialog::ShowDirsOnly);
  };
  o.quit = [] { QCoreApplication::exit(0); };
  o.endProcess = [] {
    std::fflush(nullptr);
    _exit(0);
  };
  return o;
}

CMainframeUI::CMainframeUI(MainframeOptions options) : options_(std::move(options)) {
  g_mainframe = this;
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &CMainframeUI::ElapsedTick);
}

CMainframeUI::~CMainframeUI() {
  JoinJob();
  if (g_mainframe == this) g_mainframe = nullptr;
}

CMainframeUI* CMainframeUI::Instance() { return g_mainframe; }

bool CMainframeUI::BuildWindow() {
  QFile file(Q(options_.skinPath));
  if (!file.open(QIODevice::ReadOnly)) {
    buildError_ = QStringLiteral("Cannot open the skin file %1: %2")
                      .arg(file.fileName(), file.errorString());
    return false;
  }
  // The style sheet names the skin's own images as "skin:...".
  QDir::setSearchPaths(QStringLiteral("skin"), {QFileInfo(file).absolutePath()});
  QUiLoader loader;
  QWidget* root = loader.load(&file, this);
  if (root == nullptr) {
    buildError_ = QStringLiteral("Cannot load the skin file %1: %2")
                      .arg(file.fileName(), loader.errorString());
    return false;
  }
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(root);
  SetCaption(ParseCaptionInsets(root->property("caption").toString()));

  QStringList missing;
  auto find = [&](const char* name, auto* kind) {
    using T = std::remove_pointer_t<decltype(kind)>;
    T* control = root->findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) missing << QString::fromLatin1(name);
    return control;
  };
  closeBtn_ = find("close_btn", static_cast<QAbstractButton*>(nullptr));
  diskCombo_ = find("disk_combo", static_cast<QComboBox*>(nullptr));
  refreshBtn_ = find("refresh_btn", static_cast<QAbstractButton*>(nullptr));
  selDecBtn_ = find("selDec_btn", static_cast<QAbstractButton*>(nullptr));
  firmwareEdit_ = find("firmware_edit", static_cast<QLineEdit*>(nullptr));
  timeLabel_ = find("time_label", static_cast<QLabel*>(nullptr));
  startWriteBtn_ = find("startWrite_btn", static_cast<QAbstractButton*>(nullptr));
  recoverBtn_ = find("recover_btn", static_cast<QAbstractButton*>(nullptr));
  copyProgress_ = find("copy_progress", static_cast<QProgressBar*>(nullptr));
  copyLable_ = find("copy_lable", static_cast<QLabel*>(nullptr));
  proRateLabel_ = find("pro_rate_label", static_cast<QLabel*>(nullptr));
  parNameLabel_ = find("parname_label", static_cast<QLabel*>(nullptr));
  parSizeLabel_ = find("parSize_label", static_cast<QLabel*>(nullptr));
  parTypeLabel_ = find("partype_label", static_cast<QLabel*>(nullptr));
  parImageLabel_ = find("parImage_label", static_cast<QLabel*>(nullptr));
  outputEdit_ = find("output_edit", static_cast<QListWidget*>(nullptr));
  clearInfoBtn_ = find("clearinfo_btn", static_cast<QAbstractButton*>(nullptr));
  minSizeBtn_ = find("minsize_btn", static_cast<QAbstractButton*>(nullptr));
  quiteBtn_ = find("quite_btn", static_cast<QAbstractButton*>(nullptr));
  updateBtn_ = find("update_btn", static_cast<QAbstractButton*>(nullptr));
  helpBtn_ = find("help_btn", static_cast<QAbstractButton*>(nullptr));
  verifyCheck_ = find("verify_check", static_cast<QAbstractButton*>(nullptr));
  struct TextControl {
    const char* name;
    const char16_t* key;
  };
  static constexpr TextControl kTexts[] = {
      {"title", u"Title"},           {"diskdrive_label", u"DiskDrive"},
      {"firmware_label", u"Firmware"}, {"refresh_btn", u"Refresh"},
      {"selDec_btn", u"Select"},     {"startWrite_btn", u"StartBtn"},
      {"recover_btn", u"RecoverBtn"}, {"update_btn", u"UpdateBtn"},
      {"progress_view", u"WriteProgress"}, {"output_view", u"Output"},
      {"clearinfo_btn", u"ClearBtn"}, {"close_btn", u"Exit"},
      {"verify_check", u"VerifyAfterWrite"},
  };
  std::vector<QWidget*> textControls;
  for (const TextControl& t : kTexts) {
    textControls.push_back(find(t.name, static_cast<QWidget*>(nullptr)));
  }
  if (!missing.isEmpty()) {
    buildError_ = QStringLiteral("The skin file %1 lacks the controls: %2")
                      .arg(file.fileName(), missing.join(u", "));
    return false;
  }
  for (size_t i = 0; i < std::size(kTexts); ++i) {
    SetControlText(textControls[i], Text(kTexts[i].key));
  }
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    connect(button, &QAbstractButton::clicked, this,
            [this, button] { OnNotify(QStringLiteral("click"), button); });
  }

  HoldJobViewLayout();
  const QIcon icon(Q(options_.iconPath));
  setWindowIcon(icon);
  QGuiApplication::setWindowIcon(icon);
  if (auto* logo = root->findChild<QLabel*>(QStringLiteral("logo_mark"))) {
    logo->setPixmap(icon.pixmap(64, 64));  // scaled down to the label by the skin
  }

  RefreshDisks();
  ShowProgressGroup(false, false);
  copyProgress_->setRange(0, 100);
  firmwareEdit_->setText(Q(LoadSettings()));
  verifyCheck_->setCheckable(true);
  verifyCheck_->setChecked(
      Trim(ProfileReader(SettingsToRead(options_)).Read(kVerifySection, kVerifyKey)) == u"1");

  // The window keeps the skin's size: it cannot be resized by its edges.
  setFixedSize(root->size().expandedTo(root->minimumSizeHint()));
  SetRoundCorner(ParseCornerSize(root->property("roundcorner").toString()));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  return true;
}

void CMainframeUI::HoldJobViewLayout() {
  // The job view keeps the place of everything it shows, so the layout is the same idle and
  // during a job, and texts from the engine never widen the window.
  for (QWidget* shown : std::initializer_list<QWidget*>{
           copyLable_, copyProgress_, proRateLabel_, parNameLabel_, parSizeLabel_, parTypeLabel_,
           parImageLabel_, timeLabel_}) {
    QSizePolicy policy = shown->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    shown->setSizePolicy(policy);
  }
  for (QLabel* label : {copyLable_, parNameLabel_, parSizeLabel_, parTypeLabel_, parImageLabel_,
                        proRateLabel_, timeLabel_}) {
    // As tall as any text of any language makes it: glyphs from fallback fonts (CJK, the
    // ellipsis) are taller than the skin's font.
    label->ensurePolished();
    label->setText(QStringLiteral("Ág%\u2026\u5199\u5beb"));
    label->setFixedHeight(label->sizeHint().height());
    label->clear();
    if (label == proRateLabel_ || label == timeLabel_) continue;
    QSizePolicy policy = label->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Ignored);
    label->setSizePolicy(policy);
  }
  // Room for the elapsed time from the start, a hundred hours included.
  timeLabel_->setMinimumWidth(timeLabel_->fontMetrics().horizontalAdvance(
      Text(u"TimeConsume") + QStringLiteral(" 000:00:00")));
  timeLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ElideListRows(outputEdit_);
  ElideComboText(diskCombo_);
  connect(diskCombo_, &QComboBox::currentIndexChanged, this, [this] {
    diskCombo_->setToolTip(diskCombo_->currentData(Qt::ToolTipRole).toString());
  });
}

void CMainframeUI::OnSystemCommand(int command) {
  if (command == kScClose) {
    ExitApplication();
    return;
  }
  CBasicWnd::OnSystemCommand(command);
}

bool CMainframeUI::OnWindowKey(int key) {
  if (key != Qt::Key_F1) return false;
  ShowHelp();
  return true;
}

void CMainframeUI::OnNotify(const QString& type, QObject* sender) {
  if (type != QLatin1String("click") || sender == nullptr) return;
  const QString name = sender->objectName();
  if (name == QLatin1String("close_btn") || name == QLatin1String("quite_btn")) {
    ExitApplication();
  } else if (name == QLatin1String("refresh_btn")) {
    RefreshDisks();
  } else if (name == QLatin1String("selDec_btn")) {
    const std::u16string folder = ChooseFolder();
    if (!folder.empty()) firmwareEdit_->setText(Q(folder));
  } else if (name == QLatin1String("startWrite_btn")) {
    StartWriteJob();
  } else if (name == QLatin1String("recover_btn")) {
    StartRecoverJob();
  } else if (name == QLatin1String("clearinfo_btn")) {
    ClearOutput();
  } else if (name == QLatin1String("minsize_btn")) {
    OnSystemCommand(kScMinimize);
  } else if (name == QLatin1String("update_btn")) {
    StartUpdateJob();
  } else if (name == QLatin1String("help_btn")) {
    ShowHelp();
  }
}

void CMainframeUI::RefreshDisks() {
  disks_.clear();
  diskCombo_->clear();
  disks_ = options_.diskSource(
      [this](const std::u16string& text) { Box(text, QStringLiteral("Error"), BoxKind::kError); });
  auto* items = qobject_cast<QStandardItemModel*>(diskCombo_->model());
  int offered = 0;
  int onlyOffered = -1;
  for (size_t i = 0; i < disks_.size(); ++i) {
    const DISK_DATA& disk = disks_[i];
    if (disk.isUsb == 0 || disk.diskSize == 0) continue;
    const QString text = Q(DiskItemText(static_cast<int>(i), disk));
    diskCombo_->addItem(text);
    const int row = diskCombo_->count() - 1;
    QString tip = text;
    if (disk.systemUse[0] != '\0') {
      // Listed, so that the user sees the disk and why it cannot be chosen.
      if (items != nullptr) items->item(row)->setEnabled(false);
      tip += u'\n' + Q(LocalText(u"SystemDisk", 0) + plat::FromUtf8(disk.systemUse));
    } else {
      ++offered;
      onlyOffered = row;
    }
    diskCombo_->setItemData(row, tip, Qt::ToolTipRole);
  }
  diskCombo_->setPlaceholderText(Text(offered == 0 ? u"NoDisk" : u"DiskChoose"));
  // A single card is the one meant. Among several none is chosen for the user: an empty
  // selection makes a job say "DiskNull".
  diskCombo_->setCurrentIndex(offered == 1 ? onlyOffered : -1);
  diskCombo_->setToolTip(diskCombo_->currentData(Qt::ToolTipRole).toString());
}

std::u16string CMainframeUI::ChooseFolder() {
  const QString initial = firmwareEdit_->text().left(kFolderTextMax);
  const QString title = Q(ChooserTitle(LocalText(u"SelDec", 0)));
  if (!options_.chooseFolder) return {};
  return U(options_.chooseFolder(this, title, initial));
}

std::u16string CMainframeUI::LoadSettings() {
  const std::u16string path =
      Trim(ProfileReader(SettingsToRead(options_)).Read(kSettingsSection, kSettingsKey));
  if (path.empty() || !plat::PathExists(path)) return {};
  return path;
}

void CMainframeUI::SaveSettings() {
  // A settings file that cannot be written is not reported: the folder is only a convenience.
  const std::u16string& file = options_.settingsPath;
  const size_t slash = file.rfind(u'/');
  if (slash != std::u16string::npos && slash > 0) plat::MakePrivateFolders(file.substr(0, slash));
  WriteProfileString(options_.settingsPath, kSettingsSection, kSettingsKey,
                     U(firmwareEdit_->text()));
  WriteProfileString(options_.settingsPath, kVerifySection, kVerifyKey,
                     verifyCheck_->isChecked() ? u"1" : u"0");
}

void CMainframeUI::ShowHelp() {
  const std::u16string help = options_.helpFolder + HelpFileName(plat::SystemLangId());
  const QString viewer = QStandardPaths::findExecutable(QLatin1String(kHelpViewer));
  if (viewer.isEmpty()) {
    Box(LocalText(u"FileNotFound2", 0) + plat::FromUtf8(kHelpViewer), QString(),
        BoxKind::kHelpError);
    return;
  }
  if (!plat::PathExists(help)) {
    Box(LocalText(u"HelpFileNotFound", 0) + help, QString(), BoxKind::kHelpError);
    return;
  }
  QProcess::startDetached(viewer, {Q(help)});
}

void CMainframeUI::ClearOutput() {
  outputEdit_->clear();
  clearInfoBtn_->setEnabled(false);
}
