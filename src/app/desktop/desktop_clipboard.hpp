#pragma once

// The desktop clipboard for the workspace: plain text on the system clipboard (under X11 it may vanish
// when the editor quits unless a clipboard manager keeps it). GUI thread only; never fails.

#include "workspace/workspace_services.hpp"

namespace kivo {

class DesktopClipboard : public Clipboard {
public:
    void setText(const std::string& text) override;
};

}  // namespace kivo
