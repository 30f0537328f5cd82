// After windows.h: its ANSI/Unicode macros that share a name with the
// dialog framework's members (CDialog::MessageBox, SetDlgItemText,
// CComboBox::GetWindowText, ...) would rename those members in the code
// that follows; they are dropped, and Windows code calls the *W functions
// by name. No include guard: it acts wherever windows.h came first.
#ifdef _WIN32
#undef GetWindowText
#undef GetDlgItemText
#undef SetDlgItemText
#undef MessageBox
#endif
