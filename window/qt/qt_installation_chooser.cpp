#include "qt_installation_chooser.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

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
    }
    list_->setCurrentRow(0);
    // Wide enough for the longest line, so that none is cut.
    list_->setMinimumWidth(list_->sizeHintForColumn(0) + 2 * list_->frameWidth() + 4);
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
