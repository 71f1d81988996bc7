#include "app/print/desktop_print_service.hpp"

#include <QPageRanges>
#include <QPrintDialog>
#include <QPrinter>

#include <algorithm>

namespace kivo {

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
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return choiceFrom(printer);
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
