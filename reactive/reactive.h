#pragma once
// The whole framework in one include.
#include "reactive/dom_edit.h"
#include "reactive/element.h"
#include "reactive/events.h"
#include "reactive/loop.h"
#include "reactive/page.h"
#include "reactive/root.h"
#include "reactive/signal.h"
#include "reactive/task.h"
