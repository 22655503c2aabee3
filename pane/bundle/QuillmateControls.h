// The control classes the main nib names: an NSButton and an NSTextField in
// every respect, each carrying a work-around for the host's nib loader (see
// QuillmateControls.mm).
#import <AppKit/AppKit.h>

// The two option boxes.
@interface QuillmateCheckBox : NSButton
@end

// The name-and-version line.
@interface QuillmateLabel : NSTextField
@end
