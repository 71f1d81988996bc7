#pragma once

// The editor's PrintService: the system's print dialog (printer, copies, page range, two-sided, order)
// over the exported PDF, then the job to CUPS with every page fitted to the paper, or the PDF
// copied where "print to file" points. For a file the dialog offers both sides too, and the file's
// name beside the document: "<name>-printed.pdf", a relative name read in the document's folder (the
// home folder for a document without a file). GUI thread only; the dialog is modal.

#include <QPointer>
#include <QPrinter>
#include <QWidget>

#include "app/print/cups_printing.hpp"
#include "workspace/workspace_services.hpp"

namespace kivo {

class DesktopPrintService : public PrintService {
public:
    // The dialog opens over `parent` (may be null).
    explicit DesktopPrintService(QWidget* parent = nullptr) : parent_(parent) {}

    // Nothing when the user closes the dialog.
    std::optional<PrintChoice> choose(const PrintJob& job) override;
    // As carryOut().
    PrintOutcome output(const PrintJob& job, const PrintChoice& choice) override {
        return carryOut(job, choice);
    }

    // What the user chose in the dialog, read from the printer it filled in. Never fails.
    static PrintChoice choiceFrom(const QPrinter& printer);
    // The sides CUPS is asked for: "auto" is the long edge, as for a portrait page.
    static PrintChoice::Sides sides(QPrinter::DuplexMode duplex);

    // The choice carried out: copied for "print to file", else submitted to CUPS. Never throws.
    static PrintOutcome carryOut(const PrintJob& job, const PrintChoice& choice);

private:
    QPointer<QWidget> parent_;
};

}  // namespace kivo
