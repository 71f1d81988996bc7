#include "workspace/command_sender.hpp"

#include "core/text.hpp"

namespace kivo {

CommandRequest CommandSender::makeRequest(CommandMethod method, CommandParams params) {
    CommandRequest request;
    request.id = newUUIDString();
    request.method = method;
    request.params = std::move(params);
    request.channel = CommandChannel::ui;
    return request;
}

}  // namespace kivo
