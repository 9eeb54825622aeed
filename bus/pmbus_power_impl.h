#pragma once

// Member definitions of PMBusPower; included by bus/pmbus_power.h only.

// ---- configuration and children ------------------------------------------

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::ValidateChildSettings(const Json::Value& config,
                                                   const char* key) const {
  const Json::Value& list = config[key];
  if (!list.isArray()) return true;  // no children of this kind
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& element = list[i];
    if (!element.isObject()) {
      InfoLog("PMBusPower: {} {}[{}] is not a JSON object", DataId(), key, i);
      return false;
    }
    const Json::Value& id = element["data_id"];
    if (!id.isNull() && !id.isConvertibleTo(Json::uintValue)) {
      InfoLog("PMBusPower: {} {}[{}].data_id is not an unsigned whole number", DataId(), key, i);
      return false;
    }
  }
  return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& config) {
  if (!PMBusProtocol::InitSetting(config)) return false;
  // Check everything before building anything, so that a refused
  // configuration leaves no half-made children.
  if (!ValidateChildSettings(config, "acSetting") || !ValidateChildSettings(config, "dcSetting")) {
    return false;
  }
  ac_devices_.clear();
  dc_devices_.clear();
  rc_device_.reset();

  const Json::Value& ac_settings = config["acSetting"];
  if (ac_settings.isArray()) {
    for (Json::ArrayIndex i = 0; i < ac_settings.size(); ++i) {
      auto child = std::make_shared<AC>();
      child->InitV(this, ac_settings[i]["data_id"].asUInt(), ac_settings[i]);
      ac_devices_.push_back(std::move(child));
    }
  }
  const Json::Value& dc_settings = config["dcSetting"];
  if (dc_settings.isArray()) {
    for (Json::ArrayIndex i = 0; i < dc_settings.size(); ++i) {
      auto child = std::make_shared<DC>(std::string(detected_model_));
      child->InitV(this, dc_settings[i]["data_id"].asUInt(), dc_settings[i]);
      dc_devices_.push_back(std::move(child));
    }
  }
  const Json::Value& rc_settings = config["rcSetting"];
  if (rc_settings == Json::Value()) return false;
  rc_device_ = std::make_shared<RC>();
  rc_device_->InitV(this, DataId(), rc_settings);
  return true;
}

template <class AC, class DC, class RC>
std::shared_ptr<KMXVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned int id) {
  for (const auto& child : ac_devices_) {
    if (child->DataId() == id) return child;
  }
  for (const auto& child : dc_devices_) {
    if (child->DataId() == id) return child;
  }
  return nullptr;
}

template <class AC, class DC, class RC>
std::vector<std::shared_ptr<KMXVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
  std::vector<std::shared_ptr<KMXVDevice>> children(ac_devices_.begin(), ac_devices_.end());
  children.insert(children.end(), dc_devices_.begin(), dc_devices_.end());
  if (rc_device_) children.push_back(rc_device_);
  return children;
}

// ---- requests ---------------------------------------------------------------

template <class AC, class DC, class RC>
void PMBusPower<AC, DC, RC>::SendRequestOf(std::int32_t step) {
  const polling::StepRequest* request = polling::FindStepRequest(step);
  if (request == nullptr) return;
  const bool with_info = request->info == polling::InfoField::kCommandGroup ||
                         (request->info == polling::InfoField::kOnVersion21 &&
                          protocol_version_ == 0x21);
  if (with_info) {
    write_pmbus_cmd(request->group, request->command, &commandGroup_, 1);
  } else {
    write_pmbus_cmd(request->group, request->command);
  }
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
  if (!PMBusProtocol::RefreshStatus()) return false;
  const long long elapsed = (host_clock::LocalNow() - last_update_).total_seconds();
  // A clock set back (negative elapsed time) must not hold polling off.
  if (elapsed >= 0 && elapsed < 2 && !model_check_pending_) {
    transfer_word_ = 0;
    return false;
  }
  if (model_check_pending_) {
    polling_step_ = polling::kModel;
    SendRequestOf(polling::kModel);
    return true;
  }
  if (polling_step_ == polling::kAcAnalog && ac_devices_.empty()) {
    polling_step_ = polling::kRcAnalog;
  }
  // Every step repeats its own request, the parameter steps included, so
  // that one lost reply never stalls polling.
  SendRequestOf(polling_step_);
  return true;
}

// ---- reply dispatch -------------------------------------------------------

template <class AC, class DC, class RC>
typename PMBusPower<AC, DC, RC>::Info PMBusPower<AC, DC, RC>::CurrentInfo() const {
  const unsigned int length_field = reply_[pmbus_reply::kLengthOffset] |
                                    (reply_[pmbus_reply::kLengthOffset + 1] << 8);
  return Info{reply_[pmbus_reply::kGroupOffset], reply_ + pmbus_reply::kInfoOffset,
              static_cast<int>(length_field >> 1)};
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::process_payload() {
  host_clock::Pause(kPauseMicroseconds);
  if (reply_ == nullptr) return kRejected;
  const Info info = CurrentInfo();
  switch (polling_step_) {
    case polling::kAcAnalog:
      return HandleAcAnalog(info);
    case polling::kAcSwitch:
      return HandleAcSwitch(info);
    case polling::kAcAlarm:
      return HandleAcAlarm(info);
    case polling::kRcAnalog:
    case polling::kRcSwitch:
    case polling::kRcAlarm:
      return HandleRectifier(info);
    case polling::kDcAnalog:
      return HandleDcAnalog(info);
    case polling::kDcAlarm:
      return HandleDcAlarm(info);
    case polling::kAcParameters:
    case polling::kDcParameters:
      return HandleParameters(info);
    case polling::kModel:
      return HandleModel(info);
    default:
      return kRejected;
  }
}

template <class AC, class DC, class RC>
template <class Child, class ParseOperation>
bool PMBusPower<AC, DC, RC>::Walk(const std::vector<std::shared_ptr<Child>>& children,
                                  ParseOperation parse, const Info& info, int start,
                                  long long& consumed) {
  long long offset = start;
  for (const auto& child : children) {
    if (offset > info.length) break;  // a block ran past INFO: nothing left to hand on
    const int result =
        ((*child).*parse)(info.bytes + offset, info.length - static_cast<int>(offset));
    if (result < 0) return false;
    offset += result;
  }
  consumed = offset;
  return true;
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleAcAnalog(const Info& info) {
  if (info.group != polling::kGroupAc) return ResetExchange();
  if (info.length < 2) {
    InfoLog("PMBusPower:ProcotolError {} 40_41 reply of {} bytes has no unit count", DataId(),
            info.length);
    return ResetExchange();
  }
  ac_data_flag_ = info.bytes[0];
  if (info.bytes[1] != ac_devices_.size()) {
    LogCountMismatch("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
                     info.bytes[1], ac_devices_.size());
    return ResetExchange();
  }
  long long consumed = 0;
  if (!Walk(ac_devices_, &AC::parse40_41, info, 2, consumed)) return kRejected;
  if (consumed != info.length) {
    InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
    return kRejected;
  }
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleAcSwitch(const Info& info) {
  if (info.group != polling::kGroupAc) return kRejected;
  if (info.length - 2 > 0) {
    long long consumed = 0;
    if (!Walk(ac_devices_, &AC::parse40_43, info, 2, consumed)) return kRejected;
    if (consumed != info.length) {
      InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
      return kRejected;
    }
  }
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleAcAlarm(const Info& info) {
  if (info.group != polling::kGroupAc || info.length < 2) return kRejected;
  long long consumed = 0;
  if (!Walk(ac_devices_, &AC::parse40_44, info, 2, consumed)) return kRejected;
  if (consumed != info.length) return kRejected;
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleRectifier(const Info& info) {
  if (info.group != polling::kGroupRc || !rc_device_) return kRejected;
  int result = -1;
  const char* overflow_line = nullptr;
  switch (polling_step_) {
    case polling::kRcAnalog:
      if (info.length < 1) return kRejected;
      rc_data_flag_ = info.bytes[0];
      result = rc_device_->parse41_41(info.bytes, info.length);
      overflow_line = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
      break;
    case polling::kRcSwitch:
      result = rc_device_->parse41_43(info.bytes, info.length);
      overflow_line = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
      break;
    default:
      result = rc_device_->parse41_44(info.bytes, info.length);
      overflow_line = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";
      break;
  }
  if (result != info.length) {
    InfoLog(overflow_line, DataId());
    return kRejected;
  }
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleDcAnalog(const Info& info) {
  if (info.group != polling::kGroupDc || info.length < 2) return kRejected;
  const std::uint8_t dc_flag = info.bytes[0];
  const std::uint8_t count = info.bytes[1];
  if (count != dc_devices_.size()) {
    LogCountMismatch("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                     count, dc_devices_.size());
    return kRejected;
  }
  // Up to three units the blocks follow the count byte; with more, the
  // power system starts them at the count byte itself.
  const int start = count <= 3 ? 2 : 1;
  long long consumed = 0;
  if (!Walk(dc_devices_, &DC::parse42_41, info, start, consumed)) return kRejected;
  if (consumed > info.length) {
    InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
  }
  return Next(dc_flag);
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleDcAlarm(const Info& info) {
  if (info.group != polling::kGroupDc || info.length < 2) return kRejected;
  if (info.bytes[1] != dc_devices_.size()) {
    LogCountMismatch("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                     info.bytes[1], dc_devices_.size());
    return kRejected;
  }
  long long consumed = 0;
  if (!Walk(dc_devices_, &DC::parse42_44, info, 2, consumed)) return kRejected;
  if (consumed > info.length) {
    InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
  }
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleParameters(const Info& info) {
  const bool ac_parameters = polling_step_ == polling::kAcParameters;
  const std::uint8_t expected_group = ac_parameters ? polling::kGroupAc : polling::kGroupDc;
  if (info.group != expected_group || !rc_device_) return kRejected;
  const int result = ac_parameters ? rc_device_->parse40_46(info.bytes, info.length)
                                   : rc_device_->parse42_46(info.bytes, info.length);
  if (result < 0) return kRejected;
  if (result > info.length) {
    InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
  }
  return Next();
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::HandleModel(const Info& info) {
  if (info.group != polling::kGroupAc) return kRejected;
  if (info.length < static_cast<int>(kModelFieldWidth)) {
    InfoLog("PMBusPower:ProcotolError {} model reply of {} bytes, {} expected", DataId(),
            info.length, static_cast<int>(kModelFieldWidth));
    return kRejected;
  }
  detected_model_ = ModelFromField(info.bytes, kModelFieldWidth);
  if (std::find(supported_models_.begin(), supported_models_.end(), detected_model_) ==
      supported_models_.end()) {
    CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                       "本驱动类型:" + DeviceType() + " 检测型号:" + detected_model_, true, 0);
  }
  model_check_pending_ = false;
  return Next();
}

// ---- cycle ----------------------------------------------------------------

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::Next(std::uint8_t dc_flag) {
  const polling::CycleState state{data_ready_, !ac_devices_.empty(), !dc_devices_.empty(),
                                  ac_data_flag_, rc_data_flag_, dc_flag};
  const std::int32_t next = polling::NextStep(polling_step_, state);
  if (next == polling::kEndOfCycle) return EndCycle();
  return GoTo(next);
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::GoTo(std::int32_t step) {
  polling_step_ = step;
  SendRequestOf(step);
  return 1;
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::EndCycle() {
  for (const auto& child : ac_devices_) child->RoundDone();
  for (const auto& child : dc_devices_) child->RoundDone();
  if (rc_device_) rc_device_->RoundDone();
  polling_step_ = polling::kAcAnalog;
  Reset();
  return 0;
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::ResetExchange() {
  Reset();
  return 0;
}

template <class AC, class DC, class RC>
void PMBusPower<AC, DC, RC>::LogCountMismatch(const char* format, std::uint8_t read,
                                              std::size_t configured) const {
  InfoLog(format, static_cast<std::uint32_t>(DataId()), static_cast<std::uint32_t>(read),
          static_cast<std::uint32_t>(configured));
}
