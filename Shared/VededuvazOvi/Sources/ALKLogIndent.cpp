#include "ALKLogIndent.h"

#include "ALKLogger.h"

ALKLogIndent::ALKLogIndent() : logger_(ALKLogger::sharedLogger()) { logger_->increaseLogIndent(); }

ALKLogIndent::~ALKLogIndent() { logger_->decreaseLogIndent(); }
