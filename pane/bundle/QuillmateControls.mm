// Host work-around.  The GNUstep GUI library (0.29) that loads this nib
// decodes the fonts of a XIB with nonsense point sizes (1e33 one run, 1e-13
// the next), and a control with such a font draws no text or draws it at
// random.  The fix belongs where the nib's objects are made, so that the pane
// itself stays exactly the pane: each control repairs its font as it is
// decoded.
#import "QuillmateControls.h"

#include <cmath>

namespace {

// Anything outside this range is no size a person chose for a control.
constexpr CGFloat kSmallestSensibleFontSize = 4;
constexpr CGFloat kLargestSensibleFontSize = 512;

void repairDecodedFont(NSControl *control)
{
  NSFont *font = [control font];
  CGFloat size = font != nil ? [font pointSize] : 0;
  if (font != nil && std::isfinite(size) && size >= kSmallestSensibleFontSize &&
      size <= kLargestSensibleFontSize)
    return;
  [control setFont:[NSFont systemFontOfSize:[NSFont systemFontSize]]];
}

} // namespace

@implementation QuillmateCheckBox

- (id)initWithCoder:(NSCoder *)coder
{
  self = [super initWithCoder:coder];
  if (self != nil)
    repairDecodedFont(self);
  return self;
}

@end

@implementation QuillmateLabel

- (id)initWithCoder:(NSCoder *)coder
{
  self = [super initWithCoder:coder];
  if (self != nil)
    repairDecodedFont(self);
  return self;
}

@end
