#include "qt_installation_chooser.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtInstallationChooser::QtInstallationChooser(const std::string& source, const std::vector<std::string>& installations,
                                             QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Choose a Windows installation"));
    auto* layout = new QVBoxLayout(this);

    auto* heading = new QLabel(QStringLiteral("%1 holds %2 Windows installations. Choose the one to show:")
                                   .arg(FromUtf8(source))
                                   .arg(installations.size()),
                               this);
    heading->setWordWrap(true);
    layout->addWidget(heading);

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("Installations"));
    list_->setAccessibleName(QStringLiteral("Windows installations"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const std::string& line : installations) {
        auto* item = new QListWidgetItem(FromUtf8(line), list_);
        item->setData(Qt::AccessibleTextRole, item->text());
        item->setToolTip(item->text());
    }
    list_->setCurrentRow(0);
    // Wide enough for the longest line, so that none is cut, within nine tenths of the screen: a
    // longer line (one that says why an installation cannot be read) wraps.
    list_->setWordWrap(true);
    list_->setTextElideMode(Qt::ElideNone);
    int width = list_->sizeHintForColumn(0) + 2 * list_->frameWidth() + 4;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        width = std::min(width, screen->availableGeometry().width() * 9 / 10);
    list_->setMinimumWidth(width);
    // As tall as its lines, no taller.
    list_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    heading->setBuddy(list_);
    layout->addWidget(list_);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* open = buttons->addButton(QStringLiteral("Open"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Quit"), QDialogButtonBox::RejectRole);
    open->setDefault(true);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Enter reaches the dialog, whose default button is Open.
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    list_->setFocus();
}

std::optional<std::size_t> QtInstallationChooser::Chosen() const {
    if (result() != QDialog::Accepted || list_->currentRow() < 0) return std::nullopt;
    return static_cast<std::size_t>(list_->currentRow());
}
