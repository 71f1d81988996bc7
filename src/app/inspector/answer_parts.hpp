#pragma once

// The parts of a finished answer below its bubble: a citation row, which shows its page and quote and
// jumps there when pressed (with a warning while the document has moved past the quote's revision), and
// a proposal card, which offers "Apply" and "Cancel" unless the proposal says why it cannot be applied.
// Each part calls the workspace itself; it keeps nothing the workspace does not publish. No signals.

#include <QWidget>

#include "core/assistant_records.hpp"
#include "core/commands.hpp"
#include "workspace/open_document.hpp"

namespace kivo {

class StatusMessage;
class Workspace;

class CitationRow : public QWidget {
    Q_OBJECT

public:
    CitationRow(Workspace& workspace, const Citation& citation, QWidget* parent = nullptr);

    // "Citation, page 2, revision 3: the quote": what the row's button reads, followed by ", in: " and the
    // words around the quote once the page's text is at hand.
    static QString spokenText(const Citation& citation);
    // Whether the quote was taken from another revision than the one now open.
    static bool isStale(const Citation& citation, const OpenDocument& document);

    QWidget* button() const { return button_; }

private:
    void refreshStale();
    void refreshName();

    Workspace& workspace_;
    Citation citation_;
    QWidget* button_;
    StatusMessage* stale_;
};

class ProposalCard : public QWidget {
    Q_OBJECT

public:
    ProposalCard(Workspace& workspace, const ProposedEdit& proposal, QWidget* parent = nullptr);
};

}  // namespace kivo
