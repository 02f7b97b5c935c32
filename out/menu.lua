-- menu script
show_menu()
