#include "AboutDlg.h"

#include <QPushButton>

#include "DialogTemplate.h"
#include "Resources.h"

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    BuildDialog(this, AboutDialogTemplate(), LoadProgramIcon());
    if (auto* ok = qobject_cast<QPushButton*>(DialogItem(this, IDOK)))
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::DoDataExchange(CDataExchange*) {}  // nothing to exchange
