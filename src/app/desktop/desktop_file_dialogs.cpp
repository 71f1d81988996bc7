#include "app/desktop/desktop_file_dialogs.hpp"

#include <QFileDialog>

#include "app/desktop/modal_wait.hpp"

namespace kivo {
namespace {

const QString pdfFilter = QStringLiteral("PDF documents (*.pdf *.PDF)");
const QString imageFilter = QStringLiteral("Images (*.png *.jpg *.jpeg *.webp *.PNG *.JPG *.JPEG *.WEBP)");

// The files chosen in `dialog` once it was confirmed; none when it was closed.
std::vector<std::filesystem::path> run(QFileDialog* made) {
    QPointer<QFileDialog> dialog(made);
    const int result = waitForDialog(*dialog);
    std::vector<std::filesystem::path> chosen;
    if (!dialog) return chosen;
    if (result == QDialog::Accepted) {
        for (const QString& file : dialog->selectedFiles()) chosen.emplace_back(file.toStdString());
    }
    dialog->deleteLater();
    return chosen;
}

}  // namespace

std::optional<std::filesystem::path> DesktopFileDialogs::chooseOpenPdf(const std::string& title) {
    auto* dialog = new QFileDialog(window_, QString::fromStdString(title));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(pdfFilter);
    const auto chosen = run(dialog);
    if (chosen.empty()) return std::nullopt;
    return chosen.front();
}

std::optional<std::filesystem::path> DesktopFileDialogs::chooseSavePdf(const std::string& title,
                                                                       const std::string& suggestedName,
                                                                       const std::filesystem::path& folder) {
    auto* dialog = new QFileDialog(window_, QString::fromStdString(title));
    if (!folder.empty()) dialog->setDirectory(QString::fromStdString(folder.string()));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(pdfFilter);
    dialog->setDefaultSuffix(QStringLiteral("pdf"));
    dialog->selectFile(QString::fromStdString(suggestedName));
    const auto chosen = run(dialog);
    if (chosen.empty()) return std::nullopt;
    return chosen.front();
}

std::optional<std::filesystem::path> DesktopFileDialogs::chooseImage(const std::filesystem::path& folder) {
    auto* dialog = new QFileDialog(window_, QStringLiteral("Choose an image"));
    if (!folder.empty()) dialog->setDirectory(QString::fromStdString(folder.string()));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(imageFilter);
    const auto chosen = run(dialog);
    if (chosen.empty()) return std::nullopt;
    return chosen.front();
}

std::vector<std::filesystem::path> DesktopFileDialogs::choosePaths(const std::string& message,
                                                                   PathKind kind) {
    auto* dialog = new QFileDialog(window_, QString::fromStdString(message));
    if (kind == PathKind::folders) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setFileMode(QFileDialog::ExistingFiles);
    }
    return run(dialog);
}

}  // namespace kivo
