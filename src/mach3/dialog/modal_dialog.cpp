// The modal-dialog base class over the platform toolkit.
#include "mach3/dialog/modal_dialog.h"

void DataExchange::Check(int id, int32_t& value) {
    if (save_) {
        value = window_.GetCheck(id) ? 1 : 0;
    } else {
        window_.SetCheck(id, value != 0);
    }
}

void DataExchange::Text(int id, std::string& value) {
    if (save_) {
        value = window_.GetText(id);
    } else {
        window_.SetText(id, value);
    }
}

void DataExchange::Radio(int firstId, int32_t& value) {
    if (save_) {
        value = window_.GetRadioSelection(firstId);
    } else {
        window_.SetRadioSelection(firstId, value);
    }
}

int32_t ModalDialog::DoModal() noexcept {
    const int32_t result = platform::ShowModalDialog(layout_, *this);
    window_ = nullptr;
    return result;
}

bool ModalDialog::UpdateData(bool saveAndValidate) noexcept {
    if (window_ == nullptr) {
        return false;
    }
    try {
        DataExchange dx(*window_, saveAndValidate);
        DoDataExchange(dx);
        return true;
    } catch (...) {
        return false;
    }
}

void ModalDialog::InitDialog() { UpdateData(false); }

bool ModalDialog::HandleCommand(int) { return false; }

void ModalDialog::OkAction() {
    if (UpdateData(true)) {
        EndDialog(platform::DIALOG_OK);
    }
}

void ModalDialog::CancelAction() { EndDialog(platform::DIALOG_CANCEL); }

void ModalDialog::EndDialog(int32_t code) noexcept {
    if (window_ != nullptr) {
        window_->EndDialog(code);
    }
}

void ModalDialog::OnInitDialog(platform::DialogWindow& window) noexcept {
    window_ = &window;
    try {
        InitDialog();
    } catch (...) {
    }
}

void ModalDialog::OnCommand(platform::DialogWindow& window, int id) noexcept {
    window_ = &window;
    try {
        HandleCommand(id);
    } catch (...) {
    }
}

void ModalDialog::OnOk(platform::DialogWindow& window) noexcept {
    window_ = &window;
    try {
        OkAction();
    } catch (...) {
    }
}

void ModalDialog::OnCancel(platform::DialogWindow& window) noexcept {
    window_ = &window;
    try {
        CancelAction();
    } catch (...) {
    }
}
