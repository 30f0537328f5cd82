// A dialog template of DialogTemplate.h as the system's in-memory
// DLGTEMPLATEEX: the same dialog units, font and tab order, the control
// styles a resource script would give each kind.
#ifndef TOVREL_APP_WIN32_TEMPLATEBUILDER_H
#define TOVREL_APP_WIN32_TEMPLATEBUILDER_H

#include <cstdint>
#include <vector>

#include "app/DialogTemplate.h"

// The template's words; its data() is what DialogBoxIndirectParamW takes
// (a vector's storage is aligned well enough for it).
std::vector<uint16_t> BuildDialogTemplate(const DialogTemplate& dialogTemplate);

// A combo's template height covers its dropped-down list as well as the
// edit field: this many dialog units are added to the field's height.
constexpr int kComboListHeight = 80;

#endif
