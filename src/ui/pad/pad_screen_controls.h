#pragma once

// The view kit and the controls the pad screen is built from.

#include "ui/audio_output_meter.h"
#include "ui/gui_factory.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/gesture_recognizer.h"
#include "ui/kit/image_view.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/text_field.h"
#include "ui/kit/timer.h"
#include "ui/kit/view.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/slider_control.h"
#include "ui/small_button_control.h"
#include "ui/sound_bank_control.h"
#include "ui/util.h"
#include "ui/value_boxes.h"
