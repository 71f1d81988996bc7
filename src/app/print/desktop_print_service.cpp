#include "app/print/desktop_print_service.hpp"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QLineEdit>
#include <QPageRanges>
#include <QPrintDialog>
#include <QPrinter>
#include <QRadioButton>

#include <algorithm>
#include <array>

namespace kivo {
namespace {

// The file "print to file" offers: beside the document, and never under the document's own name, which
// would replace the document with its printout.
QString offeredFile(const PrintJob& job) {
    const std::string stem = std::filesystem::path(job.title).stem().string();
    return QString::fromStdString((job.folder / (stem + "-printed.pdf")).string());
}

// The two-sided choices for a file, which the dialog greys out each time it sets its options up for one
// (a file has no duplex unit) and its printer then forgets; the file gets its pages laid out for both sides
// all the same. They stay open while the dialog prints to a file, which it lists last, and what was chosen
// is read from them.
class FileSides : public QObject {
public:
    FileSides(QComboBox& printers, const std::array<QRadioButton*, 2>& sides, QObject* parent)
        : QObject(parent), printers_(printers), sides_(sides) {
        for (QRadioButton* side : sides_) {
            side->installEventFilter(this);
            offer(*side);
        }
    }

    PrintChoice::Sides chosen() const {
        if (sides_[0]->isChecked()) return PrintChoice::Sides::longEdge;
        return sides_[1]->isChecked() ? PrintChoice::Sides::shortEdge : PrintChoice::Sides::oneSided;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) offer(*static_cast<QRadioButton*>(watched));
        return false;
    }

private:
    void offer(QRadioButton& side) const {
        if (!side.isEnabled() && printers_.currentIndex() == printers_.count() - 1) side.setEnabled(true);
    }

    QComboBox& printers_;
    std::array<QRadioButton*, 2> sides_;
};

// What the dialog lacks for "print to file", put right through the controls it names: the two-sided
// layout, a file offered beside the document, and a relative name read in the document's folder, not the
// home folder, before the dialog checks that name. Answers the sides, none for a dialog without those
// controls, which then stays as it is.
const FileSides* fitForFiles(QPrintDialog& dialog, const PrintJob& job) {
    auto* printers = dialog.findChild<QComboBox*>(QStringLiteral("printers"));
    auto* file = dialog.findChild<QLineEdit*>(QStringLiteral("filename"));
    const std::array sides = {dialog.findChild<QRadioButton*>(QStringLiteral("duplexLong")),
                              dialog.findChild<QRadioButton*>(QStringLiteral("duplexShort"))};
    if (printers == nullptr || file == nullptr || std::ranges::count(sides, nullptr) > 0) return nullptr;
    const auto* fileSides = new FileSides(*printers, sides, &dialog);
    if (job.folder.empty()) return fileSides;
    file->setText(offeredFile(job));
    QObject::connect(file, &QLineEdit::editingFinished, &dialog,
                     [file, folder = QDir(QString::fromStdString(job.folder.string()))] {
                         const QString name = file->text().trimmed();
                         if (!name.isEmpty() && QDir::isRelativePath(name))
                             file->setText(folder.filePath(name));
                     });
    return fileSides;
}

}  // namespace

std::optional<PrintChoice> DesktopPrintService::choose(const PrintJob& job) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(QString::fromStdString(job.title));
    // Offered as "print to file" in the dialog: the PDF itself, never a re-rendering.
    printer.setOutputFormat(QPrinter::NativeFormat);
    QPrintDialog dialog(&printer, parent_);
    dialog.setWindowTitle(QStringLiteral("Print"));
    dialog.setOption(QAbstractPrintDialog::PrintToFile, true);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, job.pageCount > 0);
    dialog.setOption(QAbstractPrintDialog::PrintCollateCopies, true);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    if (job.pageCount > 0) dialog.setMinMax(1, static_cast<int>(job.pageCount));
    const FileSides* fileSides = fitForFiles(dialog, job);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    PrintChoice choice = choiceFrom(printer);
    if (!choice.outputFile.empty() && fileSides != nullptr) choice.sides = fileSides->chosen();
    return choice;
}

PrintChoice DesktopPrintService::choiceFrom(const QPrinter& printer) {
    PrintChoice choice;
    if (printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty()) {
        choice.outputFile = printer.outputFileName().toStdString();
    }
    choice.printer = printer.printerName().toStdString();
    choice.copies = std::max(1, printer.copyCount());
    choice.collate = printer.collateCopies();
    if (printer.printRange() == QPrinter::PageRange && !printer.pageRanges().isEmpty()) {
        choice.pageRanges = printer.pageRanges().toString().toStdString();
    }
    choice.sides = sides(printer.duplex());
    choice.reverse = printer.pageOrder() == QPrinter::LastPageFirst;
    return choice;
}

PrintChoice::Sides DesktopPrintService::sides(QPrinter::DuplexMode duplex) {
    switch (duplex) {
        case QPrinter::DuplexNone: return PrintChoice::Sides::oneSided;
        case QPrinter::DuplexAuto:
        case QPrinter::DuplexLongSide: return PrintChoice::Sides::longEdge;
        case QPrinter::DuplexShortSide: return PrintChoice::Sides::shortEdge;
    }
    return PrintChoice::Sides::printerDefault;
}

PrintOutcome DesktopPrintService::carryOut(const PrintJob& job, const PrintChoice& choice) {
    try {
        if (!choice.outputFile.empty()) {
            CupsPrinting::copyToFile(job, choice.outputFile);
        } else {
            CupsPrinting::submit(job, choice);
        }
        return PrintOutcome::printed();
    } catch (const PrintFailure& failure) {
        return PrintOutcome::failed(failure.what());
    }
}

}  // namespace kivo
