/* Resource ids, shared by app.rc and the C++ code. */
#pragma once

#define VANTREL_ICON_RESOURCE 101
#define VANTREL_CERTIFICATE_RESOURCE 301
