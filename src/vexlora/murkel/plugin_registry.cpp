// Registration of the ten concrete detector plugin classes, in start-up order.
#include "murkel/plugin_base.h"
#include "murkel/plugin_type.h"
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

namespace vx::murkel {

PyTypeObject TooManySymbolOrPunctuationPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TooManyAccentuatedPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject UnprintablePluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject SuspiciousDuplicateAccentPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject SuspiciousRangeType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject SuperWeirdWordPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject CjkUncommonPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject SuspiciousKatakanaPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ArchaicUpperLowerPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ArabicIsolatedFormPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int register_plugin_types(PyObject* module) noexcept {
    if (register_base_plugin_type(module) < 0) {
        return -1;
    }
    return (ConcretePlugin<TooManySymbolOrPunctuationTraits>::register_type(TooManySymbolOrPunctuationPluginType,
                                                                            module) < 0 ||
            ConcretePlugin<TooManyAccentuatedTraits>::register_type(TooManyAccentuatedPluginType, module) < 0 ||
            ConcretePlugin<UnprintableTraits>::register_type(UnprintablePluginType, module) < 0 ||
            ConcretePlugin<SuspiciousDuplicateAccentTraits>::register_type(SuspiciousDuplicateAccentPluginType,
                                                                           module) < 0 ||
            ConcretePlugin<SuspiciousRangeTraits>::register_type(SuspiciousRangeType, module) < 0 ||
            ConcretePlugin<SuperWeirdWordTraits>::register_type(SuperWeirdWordPluginType, module) < 0 ||
            ConcretePlugin<CjkUncommonTraits>::register_type(CjkUncommonPluginType, module) < 0 ||
            ConcretePlugin<SuspiciousKatakanaTraits>::register_type(SuspiciousKatakanaPluginType, module) < 0 ||
            ConcretePlugin<ArchaicUpperLowerTraits>::register_type(ArchaicUpperLowerPluginType, module) < 0 ||
            ConcretePlugin<ArabicIsolatedFormTraits>::register_type(ArabicIsolatedFormPluginType, module) < 0)
               ? -1
               : 0;
}

int attach_plugin_methods() noexcept {
    if (attach_base_plugin_methods() < 0) {
        return -1;
    }
    return (ConcretePlugin<TooManySymbolOrPunctuationTraits>::attach_methods(TooManySymbolOrPunctuationPluginType) <
                0 ||
            ConcretePlugin<TooManyAccentuatedTraits>::attach_methods(TooManyAccentuatedPluginType) < 0 ||
            ConcretePlugin<UnprintableTraits>::attach_methods(UnprintablePluginType) < 0 ||
            ConcretePlugin<SuspiciousDuplicateAccentTraits>::attach_methods(SuspiciousDuplicateAccentPluginType) < 0 ||
            ConcretePlugin<SuspiciousRangeTraits>::attach_methods(SuspiciousRangeType) < 0 ||
            ConcretePlugin<SuperWeirdWordTraits>::attach_methods(SuperWeirdWordPluginType) < 0 ||
            ConcretePlugin<CjkUncommonTraits>::attach_methods(CjkUncommonPluginType) < 0 ||
            ConcretePlugin<SuspiciousKatakanaTraits>::attach_methods(SuspiciousKatakanaPluginType) < 0 ||
            ConcretePlugin<ArchaicUpperLowerTraits>::attach_methods(ArchaicUpperLowerPluginType) < 0 ||
            ConcretePlugin<ArabicIsolatedFormTraits>::attach_methods(ArabicIsolatedFormPluginType) < 0)
               ? -1
               : 0;
}

}  // namespace vx::murkel
