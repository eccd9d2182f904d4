// The pool's base classes (the pool itself is a template in yxpool.h).
#include "yxpool.h"

YXConfig::YXConfig() : created(yxTickCount64()) {}

YXConfig::~YXConfig() { delete params; }

const char* YXConfig::GetValue(const char* key) { return params ? params->Find(key) : nullptr; }

YXParamHash* YXConfig::GetParams() { return params; }

void YXConfig::SetValue(const char* key, const char* value) {
  if (!params) params = new YXParamHash();
  params->Add(key, value);
}

YXPooledObj::YXPooledObj(YXConfig* objectConfig) : lastUsed(yxTickCount64()), config(objectConfig) {}

YXPooledObj::~YXPooledObj() = default;

void YXPooledObj::OnAcquire() {}

void YXPooledObj::OnRelease() { lastUsed = yxTickCount64(); }

bool YXPooledObj::Matches(YXConfig* wanted) {
  if (!config || !wanted) return config == wanted;
  return config->Compare(wanted);
}

uint64_t YXPooledObj::GetLastUsed() { return lastUsed; }
