// The rule of every detector (its traits struct), for the files that handle
// all of them: registration and the mess_ratio driver. One header per
// detector, in the order of VX_MURKEL_DETECTORS (shared/murkel_classes.h).
#pragma once

#include "murkel/plugin_too_many_symbol_or_punctuation.h"
#include "murkel/plugin_too_many_accentuated.h"
#include "murkel/plugin_unprintable.h"
#include "murkel/plugin_suspicious_duplicate_accent.h"
#include "murkel/plugin_suspicious_range.h"
#include "murkel/plugin_super_weird_word.h"
#include "murkel/plugin_cjk_uncommon.h"
#include "murkel/plugin_suspicious_katakana.h"
#include "murkel/plugin_archaic_upper_lower.h"
#include "murkel/plugin_arabic_isolated_form.h"
