#pragma once
#include <QDialog>

#include <optional>
#include <string>
#include <vector>

class QListWidget;

// Asks which of a source's installations the version window shows, when it holds more than one in
// use: one line each (its name, release and where it lies), the first selected. Up and Down choose,
// Enter (or a double click, or Open) opens, Esc closes without a choice. Each line is also its
// name for a screen reader.
class QtInstallationChooser : public QDialog {
public:
    QtInstallationChooser(const std::string& source, const std::vector<std::string>& installations,
                          QWidget* parent = nullptr);

    QListWidget* List() const { return list_; }
    // The line chosen, from 0, when the dialog was accepted.
    std::optional<std::size_t> Chosen() const;

private:
    QListWidget* list_ = nullptr;
};
