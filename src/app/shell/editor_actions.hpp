#pragma once

// Every command of the editor's window by id, in the order the menus offer them, with the raw value that
// names its action ("saveAs" is the action "saveAsAction"), the title it reads in a menu and the status
// tip it shows while pointed at. The window's tool bar, the canvas bar, the zoom menu, the key hints and
// the tests find a command's one QAction by its id (EditorCommands::action). Plain values; nothing fails.
//
// Two commands only the canvas bar offers undo and redo the document alone; Edit > Undo and Redo first
// offer the keystroke to the text field being typed in.

#include <array>
#include <optional>
#include <string_view>

#include "workspace/workspace_types.hpp"

namespace kivo {

// One line for each menu, then the commands no menu offers.
// clang-format off
enum class EditorAction {
    open, save, saveAs, saveCopy, print, quit,
    undo, redo, cut, copy, paste, selectAll,
    showAssistant, showPagePanel, showFormPanel, showDocumentPanel, largerText, smallerText, actualTextSize,
    fitPage, fitWidth, zoomIn, zoomOut, previousPage, nextPage, rotateRight, rotateLeft, deletePage, extractPage,
    mergePdf, movePageUp, movePageDown,
    find, findNext, findPrevious,
    toolSelect, toolHighlight, toolNote, toolText, toolInk, toolImage, toolSignature,
    selectNextLine, selectPreviousLine, extendSelectionDown, extendSelectionUp, highlightSelection, addNote,
    addText, addImage, addSignature, underlineWithInk, selectNextAnnotation, selectPreviousAnnotation,
    editContents, moveLeft, moveRight, moveUp, moveDown, growRight, growUp, shrinkLeft, shrinkDown,
    deleteAnnotation,
    checkForUpdates,
    search, deleteSelection, undoDocument, redoDocument,
};
// clang-format on

struct EditorActionInfo {
    EditorAction action;
    std::string_view rawValue;
    const char* title;
    const char* statusTip;
};

// clang-format off
inline constexpr auto editorActions = std::to_array<EditorActionInfo>({
    {EditorAction::open, "open", "Open…", "Open a PDF file."},
    {EditorAction::save, "save", "Save", "Save the document."},
    {EditorAction::saveAs, "saveAs", "Save As…", "Save the document under a new name."},
    {EditorAction::saveCopy, "saveCopy", "Save a Copy…", "Save a copy of the document and keep working on this one."},
    {EditorAction::print, "print", "Print…", "Print the document."},
    {EditorAction::quit, "quit", "Quit", "Close the window and quit."},
    {EditorAction::undo, "undo", "Undo", "Undo the last change."},
    {EditorAction::redo, "redo", "Redo", "Redo the last undone change."},
    {EditorAction::cut, "cut", "Cut", "Cut the selected text."},
    {EditorAction::copy, "copy", "Copy", "Copy the selected text."},
    {EditorAction::paste, "paste", "Paste", "Paste into the text field."},
    {EditorAction::selectAll, "selectAll", "Select All", "Select all the text in the field."},
    {EditorAction::showAssistant, "showAssistant", "Show Assistant", "Show the assistant."},
    {EditorAction::showPagePanel, "showPagePanel", "Show Page Panel", "Show the page panel."},
    {EditorAction::showFormPanel, "showFormPanel", "Show Form Panel", "Show the form panel."},
    {EditorAction::showDocumentPanel, "showDocumentPanel", "Show Document Panel", "Show the document panel."},
    {EditorAction::largerText, "largerText", "Larger Text", "Make the text of the window larger."},
    {EditorAction::smallerText, "smallerText", "Smaller Text", "Make the text of the window smaller."},
    {EditorAction::actualTextSize, "actualTextSize", "Actual Text Size",
     "Show the text of the window at its actual size."},
    {EditorAction::fitPage, "fitPage", "Fit Page", "Fit the whole page in the window."},
    {EditorAction::fitWidth, "fitWidth", "Fit Width", "Fit the page's width in the window."},
    {EditorAction::zoomIn, "zoomIn", "Zoom In", "Show the page larger."},
    {EditorAction::zoomOut, "zoomOut", "Zoom Out", "Show the page smaller."},
    {EditorAction::previousPage, "previousPage", "Previous Page", "Go to the previous page."},
    {EditorAction::nextPage, "nextPage", "Next Page", "Go to the next page."},
    {EditorAction::rotateRight, "rotateRight", "Rotate Right", "Turn the page a quarter turn clockwise."},
    {EditorAction::rotateLeft, "rotateLeft", "Rotate Left", "Turn the page a quarter turn counterclockwise."},
    {EditorAction::deletePage, "deletePage", "Delete Page", "Delete the selected page."},
    {EditorAction::extractPage, "extractPage", "Extract Page…", "Save the shown page as a new PDF."},
    {EditorAction::mergePdf, "mergePdf", "Merge PDF…", "Add the pages of another PDF at the end."},
    {EditorAction::movePageUp, "movePageUp", "Move Page Up", "Move the selected page one place up."},
    {EditorAction::movePageDown, "movePageDown", "Move Page Down", "Move the selected page one place down."},
    {EditorAction::find, "find", "Find…", "Find text in the document."},
    {EditorAction::findNext, "findNext", "Find Next", "Go to the next match."},
    {EditorAction::findPrevious, "findPrevious", "Find Previous", "Go to the previous match."},
    {EditorAction::toolSelect, "toolSelect", "Select", "Select text and annotations."},
    {EditorAction::toolHighlight, "toolHighlight", "Highlight", "Drag across text to highlight it."},
    {EditorAction::toolNote, "toolNote", "Note", "Click to add a note."},
    {EditorAction::toolText, "toolText", "Text", "Drag a box to add text."},
    {EditorAction::toolInk, "toolInk", "Ink", "Draw freehand."},
    {EditorAction::toolImage, "toolImage", "Image", "Drag a box to add an image."},
    {EditorAction::toolSignature, "toolSignature", "Signature", "Drag a box to add a signature image."},
    {EditorAction::selectNextLine, "selectNextLine", "Select Next Line", "Select the next line of text."},
    {EditorAction::selectPreviousLine, "selectPreviousLine", "Select Previous Line",
     "Select the previous line of text."},
    {EditorAction::extendSelectionDown, "extendSelectionDown", "Extend Selection Down",
     "Add the next line to the selection."},
    {EditorAction::extendSelectionUp, "extendSelectionUp", "Extend Selection Up",
     "Add the previous line to the selection."},
    {EditorAction::highlightSelection, "highlightSelection", "Highlight Selection", "Highlight the selected text."},
    {EditorAction::addNote, "addNote", "Add Note", "Add a note at the selection."},
    {EditorAction::addText, "addText", "Add Text…", "Add text to the page."},
    {EditorAction::addImage, "addImage", "Add Image…", "Add an image to the page."},
    {EditorAction::addSignature, "addSignature", "Add Visual Signature…", "Add a signature image to the page."},
    {EditorAction::underlineWithInk, "underlineWithInk", "Underline Selection with Ink",
     "Draw an ink line under the selected text."},
    {EditorAction::selectNextAnnotation, "selectNextAnnotation", "Select Next Annotation",
     "Select the next annotation."},
    {EditorAction::selectPreviousAnnotation, "selectPreviousAnnotation", "Select Previous Annotation",
     "Select the previous annotation."},
    {EditorAction::editContents, "editContents", "Edit Contents…", "Edit the selected annotation's text."},
    {EditorAction::moveLeft, "moveLeft", "Move Left", "Move the selected annotation left."},
    {EditorAction::moveRight, "moveRight", "Move Right", "Move the selected annotation right."},
    {EditorAction::moveUp, "moveUp", "Move Up", "Move the selected annotation up."},
    {EditorAction::moveDown, "moveDown", "Move Down", "Move the selected annotation down."},
    {EditorAction::growRight, "growRight", "Grow Right", "Make the selected annotation wider."},
    {EditorAction::growUp, "growUp", "Grow Up", "Make the selected annotation taller."},
    {EditorAction::shrinkLeft, "shrinkLeft", "Shrink Left", "Make the selected annotation narrower."},
    {EditorAction::shrinkDown, "shrinkDown", "Shrink Down", "Make the selected annotation shorter."},
    {EditorAction::deleteAnnotation, "deleteAnnotation", "Delete Annotation", "Delete the selected annotation."},
    {EditorAction::checkForUpdates, "checkForUpdates", "Check for Updates…",
     "Find out whether a newer version is out."},
    {EditorAction::search, "search", "Search", "Search the document for the text in the find field."},
    {EditorAction::deleteSelection, "delete", "Delete", "Delete the selected annotation."},
    {EditorAction::undoDocument, "undoDocument", "Undo", "Undo the last change to the document."},
    {EditorAction::redoDocument, "redoDocument", "Redo", "Redo the last undone change to the document."},
});
// clang-format on
static_assert(editorActions.size() == static_cast<std::size_t>(EditorAction::redoDocument) + 1,
              "one row for every command");

const EditorActionInfo& info(EditorAction action) noexcept;

// The command of exactly one raw value (letter case counts); nothing for any other text.
std::optional<EditorAction> editorActionFromRaw(std::string_view raw) noexcept;

// The Tools menu's command that picks `tool`.
EditorAction toolAction(EditorTool tool) noexcept;

}  // namespace kivo
