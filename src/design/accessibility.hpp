#pragma once

// What assistive technologies learn about the design's controls, where Qt's defaults would be wrong:
// HeroButton and pill segments are buttons (segments checkable, checked while selected); HeroSwitch and
// HeroCheckbox are check boxes named by their label; a Chip is static text; a ThemedLabel is static text
// or a heading; PillSegment, SectionCard, EmptyStateView and HeroField are groupings; a CardRow is one
// static-text element reading label and value together. Each control's header states its own.

namespace kivo {

// Registers the design's accessibility factory with Qt; every control calls it, only the first call counts.
void installAccessibility();

}  // namespace kivo
