// The window's pure rules (sizes, elapsed time, log lines, disk labels, help files, the caption
// hit test and the window shape) and the single-instance rule, in-process and with the program.
#include "BasicWnd.h"
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "SingleInstance.h"

#include <QCheckBox>
#include <QLabel>
#include <QLocalSocket>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

extern char** environ;

namespace {

using guitest::App;
using testsupport::TempDir;

TEST(FormatDiskSize, TheDocumentedValues) {
  EXPECT_EQ(FormatDiskSize(512), u"512B");
  EXPECT_EQ(FormatDiskSize(1536), u"1.50K");
  EXPECT_EQ(FormatDiskSize(int64_t{15} << 29), u"7.50G");
  EXPECT_EQ(FormatDiskSize(int64_t{1} << 40), u"1.00T");
  EXPECT_EQ(FormatDiskSize(-1), u"-1B");
  EXPECT_EQ(FormatDiskSize(1023), u"1023B");
  EXPECT_EQ(FormatDiskSize(1024), u"1.00K");
  EXPECT_EQ(FormatDiskSize(1048576), u"1.00M");
  // A card of 15523840 sectors, as a card reader reports it.
  EXPECT_EQ(FormatDiskSize(int64_t{15523840} * 512), u"7.40G");
  // Just below 1 TiB stays in gigabytes.
  EXPECT_EQ(FormatDiskSize((int64_t{1} << 40) - (int64_t{1} << 30)), u"1023.00G");
}

TEST(FormatElapsed, FieldsAndLongJobs) {
  EXPECT_EQ(FormatElapsed(0), u"00:00:00");
  EXPECT_EQ(FormatElapsed(3600 + 2 * 60 + 5), u"01:02:05");
  EXPECT_EQ(FormatElapsed(100 * 3600), u"100:00:00");
  EXPECT_EQ(FormatElapsed(59), u"00:00:59");
  EXPECT_EQ(FormatElapsed(3599), u"00:59:59");
}

TEST(OutputLines, TimestampBlanksTextAndLineEnd) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2026-12-06 21:07:09 UTC.
  EXPECT_EQ(FormatTimestamp(1796591229), u"20261206-21:07:09");
  const std::u16string line = OutputLine(u"20261206-21:07:09", u"Writing partition 1\n");
  EXPECT_EQ(line, u"20261206-21:07:09   Writing partition 1\n\r\n");
  EXPECT_EQ(RowTextOfLine(line), u"20261206-21:07:09   Writing partition 1");
  EXPECT_EQ(RowTextOfLine(u"a\nb\r\n"), u"a\nb");
}

TEST(DiskLabels, PositionSizeAndParsing) {
  EXPECT_EQ(DiskLabel(1, 15523840ull * 512), u"HD1: 7.40G");
  EXPECT_EQ(DiskLabel(12, 512), u"HD12: 512B");
  EXPECT_EQ(DiskPositionOfLabel(u"HD2: 7.40G"), 2);
  EXPECT_EQ(DiskPositionOfLabel(u"HD12: 1.00T"), 12);
  EXPECT_EQ(DiskPositionOfLabel(u""), -1);
  EXPECT_EQ(DiskPositionOfLabel(u"HD: 1G"), -1);
  EXPECT_EQ(DiskPositionOfLabel(u"HDx: 1G"), -1);
  EXPECT_EQ(DiskPositionOfLabel(u"HD99999999999: 1G"), -1);
}

TEST(HelpFiles, ChosenByTheSystemLanguage) {
  EXPECT_EQ(std::u16string(HelpFileName(0x0804)), u"help_ch.mht");
  EXPECT_EQ(std::u16string(HelpFileName(0x0404)), u"help_tw.mht");
  EXPECT_EQ(std::u16string(HelpFileName(0x0C04)), u"help_tw.mht");  // Hong Kong
  EXPECT_EQ(std::u16string(HelpFileName(0x1004)), u"help_en.mht");  // Singapore
  EXPECT_EQ(std::u16string(HelpFileName(0x1404)), u"help_en.mht");  // Macao
  EXPECT_EQ(std::u16string(HelpFileName(0x0409)), u"help_en.mht");
}

TEST(ChooserTitle, AtMostFortyNineCharacters) {
  const std::u16string longText(60, u'x');
  EXPECT_EQ(ChooserTitle(longText), std::u16string(49, u'x'));
  EXPECT_EQ(ChooserTitle(u"short"), u"short");
  // A character outside the basic plane is never cut in half.
  std::u16string pair(48, u'y');
  pair += u"\U0001F4BE";
  pair += u"zz";
  EXPECT_EQ(ChooserTitle(pair), std::u16string(48, u'y'));
}

// The caption area of a 400 x 300 window: 40 rows high, 30 pixels kept free on the right.
const QRect kClient(0, 0, 400, 300);
const CaptionInsets kCaption{0, 0, 30, 40};

TEST(CaptionHitTest, CaptionRowsDragUnlessAControlStaysClickable) {
  EXPECT_EQ(CaptionHitTest({10, 10}, kClient, kCaption, ControlKind::kOther), kHitCaption);
  EXPECT_EQ(CaptionHitTest({0, 0}, kClient, kCaption, ControlKind::kOther), kHitCaption);
  EXPECT_EQ(CaptionHitTest({369, 39}, kClient, kCaption, ControlKind::kOther), kHitCaption);
  // The right inset and the row below the caption are client area.
  EXPECT_EQ(CaptionHitTest({370, 10}, kClient, kCaption, ControlKind::kOther), kHitClient);
  EXPECT_EQ(CaptionHitTest({10, 40}, kClient, kCaption, ControlKind::kOther), kHitClient);
  for (ControlKind kind : {ControlKind::kNone, ControlKind::kButton, ControlKind::kOption,
                           ControlKind::kText}) {
    EXPECT_EQ(CaptionHitTest({10, 10}, kClient, kCaption, kind), kHitClient);
  }
  // A left inset moves the start of the area.
  EXPECT_EQ(CaptionHitTest({4, 10}, kClient, {5, 0, 0, 40}, ControlKind::kOther), kHitClient);
  EXPECT_EQ(CaptionHitTest({5, 10}, kClient, {5, 0, 0, 40}, ControlKind::kOther), kHitCaption);
  // A caption starting below the top leaves the top rows to the client.
  EXPECT_EQ(CaptionHitTest({10, 3}, kClient, {0, 4, 0, 40}, ControlKind::kOther), kHitClient);
}

TEST(CaptionHitTest, KindsOfControls) {
  App();
  QWidget parent;
  QPushButton button(&parent);
  QRadioButton radio(&parent);
  QCheckBox check(&parent);
  QLabel plain(&parent);
  QLabel selectable(&parent);
  selectable.setTextInteractionFlags(Qt::TextSelectableByMouse);
  QLabel links(&parent);
  links.setOpenExternalLinks(true);
  QLabel keyboardOnly(&parent);
  keyboardOnly.setTextInteractionFlags(Qt::TextSelectableByKeyboard);
  EXPECT_EQ(KindOfControl(nullptr), ControlKind::kNone);
  EXPECT_EQ(KindOfControl(&button), ControlKind::kButton);
  EXPECT_EQ(KindOfControl(&radio), ControlKind::kOption);
  EXPECT_EQ(KindOfControl(&check), ControlKind::kOption);
  EXPECT_EQ(KindOfControl(&plain), ControlKind::kOther);
  EXPECT_EQ(KindOfControl(&selectable), ControlKind::kText);
  EXPECT_EQ(KindOfControl(&links), ControlKind::kText);
  EXPECT_EQ(KindOfControl(&keyboardOnly), ControlKind::kOther);
  EXPECT_EQ(KindOfControl(&parent), ControlKind::kOther);
}

TEST(WindowShape, TopCornersRoundBottomCornersSquare) {
  const QRegion shape = TopRoundedRegion(QRect(0, 0, 200, 100), QSize(6, 6));
  EXPECT_FALSE(shape.contains(QPoint(0, 0)));
  EXPECT_FALSE(shape.contains(QPoint(199, 0)));
  EXPECT_TRUE(shape.contains(QPoint(0, 99)));
  EXPECT_TRUE(shape.contains(QPoint(199, 99)));
  EXPECT_TRUE(shape.contains(QPoint(100, 0)));
  EXPECT_TRUE(shape.contains(QPoint(0, 50)));
  EXPECT_TRUE(shape.contains(QPoint(3, 3)));
  EXPECT_FALSE(shape.contains(QPoint(100, 100)));
  // No rounding: nothing to apply, the window stays rectangular.
  EXPECT_TRUE(TopRoundedRegion(QRect(0, 0, 200, 100), QSize(0, 0)).isEmpty());
}

TEST(WindowShape, SkinValues) {
  const CaptionInsets c = ParseCaptionInsets(QStringLiteral("0, 2,30,48"));
  EXPECT_EQ(c.left, 0);
  EXPECT_EQ(c.top, 2);
  EXPECT_EQ(c.right, 30);
  EXPECT_EQ(c.bottom, 48);
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12,10")), QSize(12, 10));
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12")), QSize(0, 0));
  EXPECT_EQ(ParseCaptionInsets(QStringLiteral("a,b,c,d")).bottom, 0);
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
  TempDir dir;
  const QString name = QString::fromStdString(dir.Join("marker"));
};

TEST_F(SingleInstanceTest, ASecondCopyAsksTheFirstToShowItself) {
  SingleInstance first(name);
  EXPECT_FALSE(first.ActivateRunningCopy());
  ASSERT_TRUE(first.listening());
  QSignalSpy shown(&first, &SingleInstance::showRequested);

  // The second copy blocks while it waits for the answer, so it runs on its own thread.
  bool secondEnds = false;
  std::thread second([&] {
    SingleInstance other(name);
    secondEnds = other.ActivateRunningCopy();
  });
  ASSERT_TRUE(guitest::WaitFor([&] { return shown.count() == 1; }));
  second.join();
  EXPECT_TRUE(secondEnds);
}

TEST_F(SingleInstanceTest, AStaleSocketIsReplaced) {
  // A copy that died left its socket file behind, with nobody listening on it.
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.Join("marker").c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
  }
  ASSERT_TRUE(guitest::FileExists(dir.Join("marker")));
  SingleInstance next(name);
  EXPECT_FALSE(next.ActivateRunningCopy());
  EXPECT_TRUE(next.listening());
}

TEST_F(SingleInstanceTest, AForeignServerIsNotTakenForARunningCopy) {
  // Another program listens under the name and answers something else.
  QLocalServer foreign;
  ASSERT_TRUE(foreign.listen(name));
  QObject::connect(&foreign, &QLocalServer::newConnection, [&foreign] {
    QLocalSocket* socket = foreign.nextPendingConnection();
    socket->write("busy\n");
    socket->flush();
  });
  bool secondEnds = true;
  bool listening = false;
  std::thread starting([&] {
    SingleInstance copy(name);
    secondEnds = copy.ActivateRunningCopy();
    listening = copy.listening();
  });
  ASSERT_TRUE(guitest::WaitFor([&] { return !secondEnds; }));
  starting.join();
  EXPECT_FALSE(secondEnds);
  EXPECT_TRUE(listening);
}

// The program itself, twice, with a private runtime folder.
class TwoCopies : public ::testing::Test {
 protected:
  pid_t Start(const std::string& stderrFile) {
    const std::string program = std::string(BRINDLE_BIN_DIR) + "/Brindle";
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir_.path(),
                                    "XDG_RUNTIME_DIR=" + dir_.path(), "LANG=C.UTF-8",
                                    "PATH=/usr/bin:/bin"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("LSAN_OPTIONS=", 0) == 0 ||
          std::string(*e).rfind("ASAN_OPTIONS=", 0) == 0) {
        env.push_back(*e);
      }
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT, 0600);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -1;
  }

  TempDir dir_;
};

TEST_F(TwoCopies, TheSecondShowsTheFirstAndEnds) {
  const std::string socket = dir_.Join("08B7F5DA-5D9E-4518-A96A-17877C3FA881");
  const pid_t first = Start(dir_.Join("first.err"));
  ASSERT_GT(first, 0);
  // The first copy is up once its marker socket exists.
  ASSERT_TRUE(guitest::WaitFor([&] { return guitest::FileExists(socket); }))
      << testsupport::ReadFile(dir_.Join("first.err"));
  const pid_t second = Start(dir_.Join("second.err"));
  ASSERT_GT(second, 0);
  int status = -1;
  const bool ended = guitest::WaitFor([&] { return waitpid(second, &status, WNOHANG) == second; });
  if (!ended) kill(second, SIGKILL);
  ASSERT_TRUE(ended) << "the second copy kept running";
  // Exit code 0 comes only with the first copy's answer to the show request.
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << testsupport::ReadFile(dir_.Join("second.err"));
  // The first copy is still running.
  EXPECT_EQ(waitpid(first, &status, WNOHANG), 0);
  kill(first, SIGTERM);
  waitpid(first, &status, 0);
}

}  // namespace
