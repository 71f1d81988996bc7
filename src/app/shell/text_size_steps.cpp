#include "app/shell/text_size_steps.hpp"

namespace kivo::TextSizeSteps {

double larger(double scale) noexcept {
    for (const double step : steps) {
        if (step > scale + tolerance) return step;
    }
    return steps.back();
}

double smaller(double scale) noexcept {
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (*step < scale - tolerance) return *step;
    }
    return steps.front();
}

}  // namespace kivo::TextSizeSteps
