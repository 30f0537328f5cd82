// A long transfer against a module that moves bytes at the line's speed:
// the fixture of the tests that act while it runs.
#ifndef TOVREL_TESTS_APP_PACEDTRANSFER_H
#define TOVREL_TESTS_APP_PACEDTRANSFER_H

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QTimer>

#include <functional>

#include "WindowTest.h"

inline const QString kWriteOk = QStringLiteral("成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！");
inline const QString kNotWhole = QStringLiteral("数据未被完全写入！");
constexpr int kBigSize = 24 * 1024;  // 48 chunks: some 2.2 s at 115200 bit/s

QByteArray BigData();

// The progress window while it is on screen, else null.
QDialog* ProgressWindow();

// Runs `act` once, as soon as the progress window is on screen; it runs
// from a timer, inside the transfer, as the user's input would arrive.
class OnProgressWindow {
public:
    explicit OnProgressWindow(std::function<void(QDialog*)> act);
    bool Fired() const { return m_fired; }

private:
    std::function<void(QDialog*)> m_act;
    QTimer m_timer;
    bool m_fired = false;
};

class PacedTransferTest : public WindowTest {
protected:
    // A module that moves bytes at the line's speed, talked to at 115200,
    // and BIG.BIN in the file-name field.
    void SetUp() override;
    // Opens BIG.BIN on the disk (with these contents first, unless null);
    // the simulator's requests are cleared afterwards.
    void OpenBigFile(const QByteArray& onDisk = QByteArray());
    QByteArray DiskFile() const;
    // 写文件 of a 24 KiB PC file; the boxes it showed.
    QStringList WriteBigPcFile();
    // 写文件 of the 24 KiB file while `user` acts on the progress window:
    // it must end whole, with nothing but its 48 chunks sent, the dialog on
    // screen and no other dialog opened, then or a little later.
    void WriteWholeWhileTheUserActs(std::function<void(QDialog*)> user);
};

#endif
