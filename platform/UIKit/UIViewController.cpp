#include "platform/UIKit/UIViewController.h"

// Out of line, so that the class's vtable lives in the platform library only.
UIViewController::~UIViewController() = default;

void UIViewController::viewDidAppear(bool) {}
