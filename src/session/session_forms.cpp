#include "session/document_form.hpp"
#include "session/session.hpp"

namespace kivo {

std::vector<FormFieldInfo> Session::listFields() const { return form_.fields(*this); }

std::vector<std::string> Session::fillField(const std::string& name, const std::string& value) {
    const DocumentForm::Target target = form_.target(*this, name);
    census_.forget(target.pageIds);
    form_.fill(*this, name, target, value);
    return target.pageIds;
}

void Session::clearFormFields(const std::vector<std::string>& pageIds) {
    if (!form_.handle()) return;
    census_.forget(pageIds);
    if (std::optional<std::string> warning = form_.clearOnPages(*this, pageIds))
        warnings_.push_back(std::move(*warning));
}

}  // namespace kivo
